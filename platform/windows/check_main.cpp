#include "check/check.h"

int wmain(int argc, wchar_t* argv[]) {
    return CheckMain(argc, argv);
}
