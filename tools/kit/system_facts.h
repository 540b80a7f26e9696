// What the kit's report says first about the machine it runs on, each as one line's
// text, and the platform functions that older Windows may lack.
#ifndef DUSTMARROW_TOOLS_KIT_SYSTEM_FACTS_H
#define DUSTMARROW_TOOLS_KIT_SYSTEM_FACTS_H

#include <windows.h>

#include <string>

// A platform function that older Windows may lack, looked up rather than imported.
template <typename Function> Function Optional(const char *dll, const char *name)
{
    const HMODULE module = GetModuleHandleA(dll) != nullptr ? GetModuleHandleA(dll) : LoadLibraryA(dll);
    return module == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::string WindowsVersion();
std::string WineVersion();
std::string CommonControlsVersion();
std::string ScreenDpi();
// A file's size and SHA-256.
std::string FileFacts(const std::string &path);

#endif
