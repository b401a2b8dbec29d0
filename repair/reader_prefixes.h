// The hardware-ID prefixes of the four watched USB vendors, and the rule that tests an
// identifier against them.
#pragma once

#include "platform/text.h"

#include <vector>

// Filled once, in service mode, before the dispatcher starts any thread; read without a
// lock afterwards.
extern std::vector<WString> ReaderPrefixList;

// Appends the four watched prefixes. Runs exactly once per service process.
void BuildReaderPrefixList();

// 1 when the identifier begins with a watched prefix, letter case of ASCII letters aside.
int IsWatchedReaderInstance(const WCHAR* instanceId);

// Whether a and b are equal over length characters, folding the 26 ASCII letters only.
bool EqualIgnoringAsciiCase(const WCHAR* a, const WCHAR* b, std::size_t length);
