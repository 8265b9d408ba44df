// Every callable of the module, declared once: name, parameters with their
// argument kinds (convert.hpp) and defaults, and documentation. The binder
// tables, docstrings, text signatures and typed entries are derived from
// these (declaration.hpp); the defaults below are the ones that take effect.
// The functions' entries form the method table (module_setup.cpp), the
// constructors' the class slots (class_slots.cpp).
#pragma once

#include "module/declaration.hpp"

namespace zln::py::callables {

using namespace declare;

// The LSH parameters' defaults, shared by simhash_lsh_multi and LshConfig.
inline constexpr std::uint64_t kFamilies = 3;
inline constexpr std::uint64_t kBits = 256;
inline constexpr std::uint64_t kBands = 16;

inline constexpr auto normalize_vector = function(
    "normalize_vector", "L2-normalize a vector",
    "L2-normalized vector. If the input has zero magnitude, returns the original.",
    Required<FloatVectorArg>{"vector", "Input vector (list of floats)"});

inline constexpr auto simhash_lsh_multi = function(
    "simhash_lsh_multi", "Generate SimHash LSH signatures for a normalized embedding vector",
    "List of LshFamily objects, one per family",
    Required<FloatVectorArg>{"normalized_vector", "L2-normalized embedding vector (list of floats)"},
    Optional<U64Arg>{"families", kFamilies, "Number of independent hash families"},
    Optional<U64Arg>{"bits", kBits, "Number of bits per signature"},
    Optional<U64Arg>{"bands", kBands, "Number of bands to split signature into"});

inline constexpr auto cosine_from_hamming = function(
    "cosine_from_hamming",
    "Estimate cosine similarity from Hamming distance\n\n"
    "Uses the formula: cos(\xcf\x80 \xc3\x97 distance / total_bits)",
    "Estimated cosine similarity in [-1, 1]", Required<U64Arg>{"distance_bits", "Hamming distance in bits"},
    Required<U64Arg>{"total_bits", "Total number of bits in the signatures"});

inline constexpr auto hamming_distance_hex = function(
    "hamming_distance_hex", "Compute Hamming distance between two hex-encoded signatures", "Number of differing bits",
    Required<TextArg>{"a", "First hex signature string"}, Required<TextArg>{"b", "Second hex signature string"});

inline constexpr auto compute_embedding_sha256 = function(
    "compute_embedding_sha256",
    "Compute canonical SHA-256 hash of a normalized embedding\n\n"
    "The embedding is quantized to 6 decimal places and serialized as JSON\n"
    "with specific formatting (spaces after commas, .0 for whole numbers)\n"
    "to ensure deterministic hashing across implementations.",
    "Hex-encoded SHA-256 hash", Required<FloatVectorArg>{"normalized_embedding", "L2-normalized embedding vector"});

inline constexpr auto lsh_config = constructor(
    "LshConfig", "LSH configuration\n\nThis mirrors the Python LshConfig dataclass from zarvik_lumetra.types",
    Optional<U64Arg>{"families", kFamilies}, Optional<U64Arg>{"bits", kBits}, Optional<U64Arg>{"bands", kBands});

inline constexpr auto lsh_family = constructor("LshFamily",
                                               "LSH family result containing signature and bands\n\n"
                                               "This mirrors the Python LSHFamily dataclass from zarvik_lumetra.lsh",
                                               Required<U64Arg>{"family"}, Required<U64Arg>{"bits"},
                                               Required<OwnedTextArg>{"signature"}, Required<TextListArg>{"bands"});

}  // namespace zln::py::callables
