// Bounded text copies shared by the settings store's sources.

#ifndef VKT_INI_INI_TEXT_H_
#define VKT_INI_INI_TEXT_H_

#include <cstddef>

// Copies at most size-1 characters of the terminated text `src` into `dst`
// and terminates it. `size` must be at least 1.
void iniCopyText(char* dst, size_t size, const char* src);

// Copies at most min(length, size-1) characters of `src` into `dst` and
// terminates it; `src` needs no terminator within `length`. `size` >= 1.
void iniCopyPart(char* dst, size_t size, const char* src, size_t length);

#endif  // VKT_INI_INI_TEXT_H_
