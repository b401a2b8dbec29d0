#include "entry/entry.h"

int wmain(int argc, wchar_t* argv[]) {
    return EntryMain(argc, argv);
}
