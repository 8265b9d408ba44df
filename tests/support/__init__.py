"""Helpers of the test suite, apart from the tests themselves (tests/conftest.py
puts tests/ on the path, so each is imported as ``support.<name>``):

* ``reference_model``    - the pure-Python model of every function, the oracle;
* ``worked_examples``    - the worked examples of every function, one table each,
  read by the model's tests and the per-function tests;
* ``known_answers``      - the committed known-answer table, parsed;
* ``gen_known_answers``  - the script that writes that table from the model;
* ``numeric``            - the model, the module and the test-only extension for
  the numeric suites, float bit patterns and example budgets;
* ``interpreter_errors`` - the error the running interpreter raises for one of
  its own conversions;
* ``shapes``             - every callable's parameters and result, from the
  contract;
* ``leakcheck``          - the pytest plugin behind ``--leak-check``.
"""
