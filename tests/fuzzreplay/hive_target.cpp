// The hive fuzz target and the hive code it drives, built into the replay test without
// the libFuzzer entry point.
#define FUZZ_REPLAY 1
#include "../../cli/hive.cpp"
#include "../fuzz/hive_fuzz.cpp"
