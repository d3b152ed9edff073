#pragma once
// True for a Windows build running under Wine, which stands in for Windows here but differs from it
// in a few places (no fonts for Qt's offscreen platform, no python to start from a Windows
// program); a case that meets such a difference is skipped there with its reason.

#include <QtGlobal>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

inline bool runningUnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
