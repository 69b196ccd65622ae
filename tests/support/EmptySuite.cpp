// The sources of a suite that a test filter left out entirely.
