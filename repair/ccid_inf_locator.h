// Finds the CCID driver package that Windows keeps staged in its driver store.
#pragma once

#include "platform/text.h"

// 1 with infPath set to the full path of wudfusbcciddriver.inf inside the first package
// folder that holds it; 0, with infPath untouched, when there is none.
int FindCcidInfPath(WString& infPath);
