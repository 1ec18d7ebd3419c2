// A small shared library for the signature-file tests to sign and check.

extern "C" int sm_tiny_library_answer() { return 42; }
