/* The status drawing of rokinsu's window: what the setup run found. */
#include <stdio.h>
#include <string.h>

#include "rokin_setup.h"

static void Line(HDC dc, int x, int y, const char *text)
{
    TextOutA(dc, x, y, text, (int)strlen(text));
}

void PaintStatus(HWND window, HDC dc)
{
    static const char banner[] = "Windows NT registry CI Registry Setup program ";
    /* Room for the longest label and its value: every line is drawn whole. */
    char text[128];
    TEXTMETRICA metrics;
    RECT client;
    GetTextMetricsA(dc, &metrics);
    GetClientRect(window, &client);
    int h = metrics.tmHeight + metrics.tmExternalLeading;
    int indent = 5 * metrics.tmAveCharWidth;

    DrawTextA(dc, banner, -1, &client, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    int line = 5;
    if (g_setup.mgmtHandle) {
        Line(dc, 0, 5 * h, "Windows NT Service Layer:");
        snprintf(text, sizeof text, "Management Handle = %lu", (unsigned long)g_setup.mgmtHandle);
        Line(dc, indent, 6 * h, text);
        snprintf(text, sizeof text, "DmiSpecLevel = %s", g_setup.specLevel);
        Line(dc, indent, 7 * h, text);
        snprintf(text, sizeof text, "ImplDesc = %s", g_setup.implDesc);
        Line(dc, indent, 8 * h, text);
        line = 9;
    }
    line++;
    if (g_setup.shownComponent) {
        Line(dc, 0, line * h, "Registry MIF:");
        snprintf(text, sizeof text, "Component ID = %lu", (unsigned long)g_setup.shownComponent);
        Line(dc, indent, (line + 1) * h, text);
    }
}
