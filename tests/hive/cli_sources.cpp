// The front end's blob builder, compiled into the test program to make configurations.
#include "../../cli/regblob.cpp"
#include "../../cli/units.cpp"
