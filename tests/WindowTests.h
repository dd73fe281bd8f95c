// Helpers for tests that open windows: a fixture that sets up the application object
// and removes every form afterwards, message pumping and log reading.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "WinApp.h"

// Serves the thread's messages for about ms milliseconds.
void PumpFor(DWORD ms);
// Serves messages until the condition holds or ms pass; returns the condition.
template <typename F>
bool PumpUntil(F condition, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= ms) return condition();
        PumpFor(10);
    }
    return true;
}
// A window of a class of the test's own (registered on first use) with Proc, made on this
// thread; Parent HWND_MESSAGE makes a message-only window.
HWND WindowOfOwnClass(const wchar_t* ClassName, WNDPROC Proc, DWORD ExStyle, DWORD Style, RECT Bounds,
                      HWND Parent = nullptr);
// A window of this thread of the given class; null when there is none.
HWND ThreadWindowOfClass(const wchar_t* className);
// The text of a UTF-16 log file (empty when missing).
std::wstring ReadLogText(const std::wstring& path);

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
