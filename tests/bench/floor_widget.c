/* The least a desktop widget can cost on this platform, to measure Vistrel against:
   a borderless window whose black pixels are see-through (colour key), 320 pixels wide
   in the top right corner of the screen, that redraws a number of text lines with
   DrawTextW from a one-second timer. One line shows the time, so the text changes as a
   real widget's does. No back buffer, no worker thread, no configuration.

   Usage: floor_widget.exe [lines]   (default 8; the window closes on WM_CLOSE) */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

enum { kWidth = 320, kEdge = 20, kTimerId = 1, kMaxLines = 200 };

static int lineCount = 8;
static int lineHeight = 16;
static HFONT font;
static HBRUSH background;

static void DrawLines(HWND window, HDC dc) {
    RECT client;
    GetClientRect(window, &client);
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xE0, 0xE0, 0xE0));
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (int i = 0; i < lineCount; ++i) {
        wchar_t text[64];
        if (i == 0)
            _snwprintf(text, 64, L"%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
        else
            _snwprintf(text, 64, L"Line %d of the floor widget", i + 1);
        text[63] = L'\0';
        RECT line = {5, i * lineHeight, client.right - 5, (i + 1) * lineHeight};
        RECT row = {0, line.top, client.right, line.bottom};
        FillRect(dc, &row, background);
        DrawTextW(dc, text, -1, &line, DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
    }
    SelectObject(dc, oldFont);
}

static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_TIMER: {
            HDC dc = GetDC(window);
            if (dc) {
                DrawLines(window, dc);
                ReleaseDC(window, dc);
            }
            return 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            if (dc) DrawLines(window, dc);
            EndPaint(window, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, msg, wp, lp);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR args, int show) {
    (void)previous;
    (void)show;
    if (args && *args) {
        const int n = _wtoi(args);
        if (n >= 1 && n <= kMaxLines) lineCount = n;
    }
    font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH, L"Arial");
    background = CreateSolidBrush(RGB(0, 0, 0));
    if (!font || !background) return 1;
    HDC screen = GetDC(NULL);
    if (screen) {
        TEXTMETRICW tm;
        HGDIOBJ old = SelectObject(screen, font);
        if (GetTextMetricsW(screen, &tm)) lineHeight = tm.tmHeight + 2;
        SelectObject(screen, old);
        ReleaseDC(NULL, screen);
    }

    WNDCLASSW wc = {0};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = L"FloorWidget";
    if (!RegisterClassW(&wc)) return 1;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    HWND window = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, wc.lpszClassName, L"", WS_POPUP,
                                  work.right - kEdge - kWidth, work.top + kEdge, kWidth, lineCount * lineHeight, NULL,
                                  NULL, instance, NULL);
    if (!window) return 1;
    SetLayeredWindowAttributes(window, RGB(0, 0, 0), 0, LWA_COLORKEY);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    SetTimer(window, kTimerId, 1000, NULL);

    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(window, kTimerId);
    DeleteObject(font);
    DeleteObject(background);
    return 0;
}
