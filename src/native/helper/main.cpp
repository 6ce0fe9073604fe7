// zorvik-music-helper: the per-user background helper of Zorvik Music.
#include "HelperMain.h"

int main(int argc, char** argv) { return Tellan::helperEntry(argc, argv); }
