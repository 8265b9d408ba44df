#include "bulk/bulk_functions.hpp"

#include <algorithm>
#include <string>

#include "bulk/array_args.hpp"
#include "bulk/unlocked.hpp"
#include "lsh/bulk/bulk_rows.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"

namespace zln::py::bulk {

namespace {

// The LSH parameters' defaults, as simhash_lsh_multi's.
constexpr std::uint64_t kFamilies = 3;
constexpr std::uint64_t kBits = 256;
constexpr std::uint64_t kBands = 16;

void parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names, auto... out) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...)) throw_taken_error();
}

// An optional unsigned integer with the per-call functions' conversion and note.
std::uint64_t u64_or(PyObject* obj, const char* name, std::uint64_t fallback) {
    return obj == nullptr ? fallback : convert_argument(name, obj, extract_u64);
}

// Whether a C-contiguous float32 output at `out` overlaps the input other
// than by being the same array: rows are written by several threads, each
// row after its own input row is read, so only that exact aliasing is safe.
bool overlaps_other_than_itself(const lsh::MatrixView& x, const float* out) {
    if (x.rows == 0 || x.cols == 0) return false;
    const auto* o = reinterpret_cast<const unsigned char*>(out);
    const std::size_t item = x.kind == lsh::ElementKind::Float32 ? 4 : 8;
    const std::ptrdiff_t r = x.row_stride * static_cast<std::ptrdiff_t>(x.rows - 1);
    const std::ptrdiff_t c = x.col_stride * static_cast<std::ptrdiff_t>(x.cols - 1);
    const unsigned char* lo = x.base + std::min<std::ptrdiff_t>(r, 0) + std::min<std::ptrdiff_t>(c, 0);
    const unsigned char* hi = x.base + std::max<std::ptrdiff_t>(r, 0) + std::max<std::ptrdiff_t>(c, 0) + item;
    const unsigned char* out_hi = o + x.rows * x.cols * sizeof(float);
    if (out_hi <= lo || hi <= o) return false;
    const bool same = o == x.base && x.kind == lsh::ElementKind::Float32 && !x.swapped &&
                      x.col_stride == sizeof(float) &&
                      x.row_stride == static_cast<std::ptrdiff_t>(x.cols * sizeof(float));
    return !same;
}

PyObject* normalize_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"x", "out", "threads", nullptr};
        PyObject *x_obj = nullptr, *out_obj = nullptr, *threads_obj = nullptr;
        parse(args, kwargs, "O|$OO:normalize_rows", names, &x_obj, &out_obj, &threads_obj);
        HeldBuffer x_buf, out_buf;
        const lsh::MatrixView x = float_matrix(x_obj, "x", x_buf);
        const unsigned threads = thread_count(threads_obj);
        Ref result;
        float* out = nullptr;
        if (out_obj != nullptr && out_obj != Py_None) {
            out = out_matrix(out_obj, "out", x.rows, x.cols, out_buf);
            if (overlaps_other_than_itself(x, out)) {
                throw PendingError::deferred(PyExc_ValueError, "out shares memory with x without being x itself");
            }
            result = Ref::borrow(out_obj);
        } else {
            result = new_array({x.rows, x.cols}, "float32", out_buf);
            out = static_cast<float*>(out_buf.view().buf);
        }
        run_unlocked([&](CancelCheck poll) { lsh::normalize_rows(x, out, threads, poll); });
        return result.release();
    });
}

PyObject* digest_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"x", "threads", nullptr};
        PyObject *x_obj = nullptr, *threads_obj = nullptr;
        parse(args, kwargs, "O|$O:digest_rows", names, &x_obj, &threads_obj);
        HeldBuffer x_buf, out_buf;
        const lsh::MatrixView x = float_matrix(x_obj, "x", x_buf);
        const unsigned threads = thread_count(threads_obj);
        Ref result = new_array({x.rows, 32}, "uint8", out_buf);
        auto* out = static_cast<unsigned char*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::digest_rows(x, out, threads, poll); });
        return result.release();
    });
}

bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

PyObject* sign_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"x", "families", "bits", "bands", "threads", nullptr};
        PyObject *x_obj = nullptr, *families_obj = nullptr, *bits_obj = nullptr, *bands_obj = nullptr,
                 *threads_obj = nullptr;
        parse(args, kwargs, "O|OOO$O:sign_rows", names, &x_obj, &families_obj, &bits_obj, &bands_obj, &threads_obj);
        HeldBuffer x_buf, out_buf;
        const lsh::MatrixView x = float_matrix(x_obj, "x", x_buf);
        const std::uint64_t families = u64_or(families_obj, "families", kFamilies);
        const std::uint64_t bits = u64_or(bits_obj, "bits", kBits);
        u64_or(bands_obj, "bands", kBands);  // converted as simhash_lsh_multi does; words do not depend on it
        const unsigned threads = thread_count(threads_obj);
        // The plan touches the process-wide caches with the lock held, as the
        // per-call function does; the rows then only read its snapshots.
        const lsh::RowSigningPlan plan = lsh::plan_row_signing(x.cols, families, bits, lsh::SimhashPath::Auto,
                                                               CancelCheck{signals_pending, nullptr});
        Ref result = new_array(
            {x.rows, static_cast<std::size_t>(plan.families), static_cast<std::size_t>(plan.words())}, "uint64",
            out_buf);
        auto* out = static_cast<std::uint64_t*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::sign_rows(x, plan, out, threads, poll); });
        return result.release();
    });
}

// The signature shape `bits` gives, checked against the array's words.
std::uint64_t checked_digits(const lsh::SignatureView& s, const char* name, std::uint64_t bits) {
    const std::uint64_t digits = lsh::signature_digits(bits);
    const std::uint64_t words = lsh::signature_words(digits);
    if (s.words != words) {
        throw PendingError::deferred(PyExc_ValueError, std::string(name) + " holds " + std::to_string(s.words) +
                                                           " words per family, but signatures of " +
                                                           std::to_string(bits) + " bits take " +
                                                           std::to_string(words));
    }
    return digits;
}

PyObject* band_keys(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"signatures", "bits", "bands", nullptr};
        PyObject *sig_obj = nullptr, *bits_obj = nullptr, *bands_obj = nullptr;
        parse(args, kwargs, "OOO:band_keys", names, &sig_obj, &bits_obj, &bands_obj);
        HeldBuffer sig_buf, out_buf;
        const lsh::SignatureView s = signature_array(sig_obj, "signatures", sig_buf);
        const std::uint64_t bits = convert_argument("bits", bits_obj, extract_u64);
        const std::uint64_t bands = convert_argument("bands", bands_obj, extract_u64);
        const std::uint64_t digits = checked_digits(s, "signatures", bits);
        const lsh::BandLayout layout = lsh::band_layout(digits, bands);
        if (layout.chunk > 16) {
            throw PendingError::deferred(PyExc_ValueError, "bands of " + std::to_string(4 * layout.chunk) +
                                                               " bits do not fit 64-bit keys; take more bands");
        }
        Ref result = new_array({s.rows, s.families, static_cast<std::size_t>(layout.count)}, "uint64", out_buf);
        auto* out = static_cast<std::uint64_t*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::band_keys(s, digits, layout, out, poll); });
        return result.release();
    });
}

PyObject* signature_texts(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"signatures", "bits", nullptr};
        PyObject *sig_obj = nullptr, *bits_obj = nullptr;
        parse(args, kwargs, "OO:signature_texts", names, &sig_obj, &bits_obj);
        HeldBuffer sig_buf, out_buf;
        const lsh::SignatureView s = signature_array(sig_obj, "signatures", sig_buf);
        const std::uint64_t bits = convert_argument("bits", bits_obj, extract_u64);
        const std::uint64_t digits = checked_digits(s, "signatures", bits);
        const std::string dtype = "U" + std::to_string(digits);
        Ref result = new_array({s.rows, s.families}, dtype.c_str(), out_buf);
        auto* out = static_cast<char32_t*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::signature_texts(s, digits, out, poll); });
        return result.release();
    });
}

PyObject* hamming_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"a", "b", nullptr};
        PyObject *a_obj = nullptr, *b_obj = nullptr;
        parse(args, kwargs, "OO:hamming_rows", names, &a_obj, &b_obj);
        HeldBuffer a_buf, b_buf, out_buf;
        const lsh::SignatureView a = signature_array(a_obj, "a", a_buf);
        const lsh::SignatureView b = signature_array(b_obj, "b", b_buf);
        if (a.rows != b.rows || a.families != b.families || a.words != b.words) {
            throw PendingError::deferred(PyExc_ValueError, "a and b must have the same shape");
        }
        Ref result = new_array({a.rows, a.families}, "int64", out_buf);
        auto* out = static_cast<std::int64_t*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::hamming_rows(a, b, out, poll); });
        return result.release();
    });
}

PyObject* pair_cosines(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        static const char* const names[] = {"x", "i", "j", "threads", nullptr};
        PyObject *x_obj = nullptr, *i_obj = nullptr, *j_obj = nullptr, *threads_obj = nullptr;
        parse(args, kwargs, "OOO|$O:pair_cosines", names, &x_obj, &i_obj, &j_obj, &threads_obj);
        HeldBuffer x_buf, i_buf, j_buf, out_buf;
        const lsh::MatrixView x = float_matrix(x_obj, "x", x_buf);
        const lsh::IndexView i = index_array(i_obj, "i", x.rows, i_buf);
        const lsh::IndexView j = index_array(j_obj, "j", x.rows, j_buf);
        if (i.count != j.count) throw PendingError::deferred(PyExc_ValueError, "i and j must have the same length");
        const unsigned threads = thread_count(threads_obj);
        Ref result = new_array({i.count}, "float64", out_buf);
        auto* out = static_cast<double*>(out_buf.view().buf);
        run_unlocked([&](CancelCheck poll) { lsh::pair_dots(x, i, j, out, threads, poll); });
        return result.release();
    });
}

#define ZLN_BULK_ENTRY(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

}  // namespace

PyMethodDef functions[] = {
    {"normalize_rows", ZLN_BULK_ENTRY(normalize_rows), METH_VARARGS | METH_KEYWORDS,
     "normalize_rows(x, *, out=None, threads=None)\n--\n\n"
     "L2-normalise every row of a 2-D float32 or float64 array.\n\n"
     "Row i of the float32 (n, d) result is normalize_vector(x[i]) bit for bit.\n"
     "out, when given, is a writable C-contiguous float32 (n, d) array that\n"
     "receives the result and is returned; it may be x itself.\n\n"
     "threads: worker threads (None: every CPU this process may use); the\n"
     "result is the same for any number."},
    {"digest_rows", ZLN_BULK_ENTRY(digest_rows), METH_VARARGS | METH_KEYWORDS,
     "digest_rows(x, *, threads=None)\n--\n\n"
     "Canonical SHA-256 of every row: a uint8 (n, 32) array whose row i is the\n"
     "digest compute_embedding_sha256(x[i]) writes as hex text. threads as for\n"
     "normalize_rows."},
    {"sign_rows", ZLN_BULK_ENTRY(sign_rows), METH_VARARGS | METH_KEYWORDS,
     "sign_rows(x, families=3, bits=256, bands=16, *, threads=None)\n--\n\n"
     "SimHash signatures of every row as a uint64 (n, families, words) array.\n\n"
     "words = ceil(hex digits / 16); word w of family f is\n"
     "int(sig[16*w : 16*w+16], 16) for that family's signature text from\n"
     "simhash_lsh_multi(x[i], families, bits, bands) (the last word may hold\n"
     "fewer digits). Floors as there: families and bands at least 1, bits at\n"
     "least 64. threads as for normalize_rows."},
    {"band_keys", ZLN_BULK_ENTRY(band_keys), METH_VARARGS | METH_KEYWORDS,
     "band_keys(signatures, bits, bands)\n--\n\n"
     "The bands of sign_rows' signatures as integers: a uint64 (n, families, k)\n"
     "array, k bands as simhash_lsh_multi cuts them, each int(band_text, 16).\n"
     "Bands wider than 64 bits are refused with ValueError."},
    {"signature_texts", ZLN_BULK_ENTRY(signature_texts), METH_VARARGS | METH_KEYWORDS,
     "signature_texts(signatures, bits)\n--\n\n"
     "The hex texts of sign_rows' signatures, for storing: a NumPy string array\n"
     "of shape (n, families), each the per-call signature text."},
    {"hamming_rows", ZLN_BULK_ENTRY(hamming_rows), METH_VARARGS | METH_KEYWORDS,
     "hamming_rows(a, b)\n--\n\n"
     "Differing bits of two (m, families, words) signature arrays, row by row\n"
     "and family by family: an int64 (m, families) array equal to\n"
     "hamming_distance_hex of the texts."},
    {"pair_cosines", ZLN_BULK_ENTRY(pair_cosines), METH_VARARGS | METH_KEYWORDS,
     "pair_cosines(x, i, j, *, threads=None)\n--\n\n"
     "Dot products of rows x[i[k]] and x[j[k]] as a float64 (m,) array.\n\n"
     "Each is summed in element order in binary64, starting from +0.0, over the\n"
     "exact binary64 products of the rows' float32 values (float64 input is\n"
     "narrowed first), without fused multiply-add: the same bits on every\n"
     "machine. For normalised rows this is their cosine. i and j are 1-D\n"
     "integer arrays of the same length, each index in 0 .. n-1. threads as\n"
     "for normalize_rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zln::py::bulk
