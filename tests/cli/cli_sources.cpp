// The front end's machine-independent sources, compiled into the test program so their
// functions can be called directly.
#include "../../cli/regblob.cpp"
#include "../../cli/tables.cpp"
#include "../../cli/units.cpp"
