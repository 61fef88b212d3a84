// The translation unit that makes the precompiled header of the tests (and
// of the benchmarks).
