// The regfile fuzz target, built into the replay test without its libFuzzer entry point.
#define FUZZ_REPLAY 1
#include "../fuzz/regfile_fuzz.cpp"
