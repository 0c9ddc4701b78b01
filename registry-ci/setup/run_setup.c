/* The setup run: register, configure the components found, unregister. */
#include <string.h>

#include "dmi_string.h"
#include "rokin_setup.h"

static void Report(HWND owner, const char *caption, const char *text, UINT icon)
{
    MessageBoxA(owner, text, caption, MB_OK | icon);
}

/* Copies a response string into a text field, cut to fit; empty when the
 * offset does not name a string inside the response. */
static void TakeResponseText(uint32_t wordOffset, char *field, uint32_t max)
{
    uint32_t at, length = 0;
    const char *text = "";
    memcpy(&at, g_setup.response + wordOffset, 4);
    if (!DmiStringGet(g_setup.response, SETUP_RESPONSE_SIZE, at, &text, &length))
        length = 0;
    if (length > max)
        length = max;
    memcpy(field, text, length);
    field[length] = 0;
}

/* The component ids of the 513 answer, in response order; 0 when it names
 * none, or more than the response can hold. */
static int CollectComponents(void)
{
    DmiCommandBlock *block = (DmiCommandBlock *)g_setup.block;
    uint32_t count = block->returnedCount;
    if (count == 0 || count > SETUP_MAX_COMPONENTS)
        return 0;
    for (uint32_t i = 0; i < count; i++)
        memcpy(&g_setup.components[i], g_setup.response + i * SETUP_COMPONENT_ENTRY_SIZE, 4);
    g_setup.componentCount = count;
    return 1;
}

void RunSetup(HWND window)
{
    FillRegisterBlock();
    if (InvokeAndWait()) {
        Report(window, "Service Layer Failure", "Unable to register with the Service Layer", MB_ICONERROR);
        return;
    }
    memcpy(&g_setup.mgmtHandle, g_setup.response + DMI_RESPONSE_HANDLE_OFFSET, 4);
    TakeResponseText(0, g_setup.specLevel, SETUP_SPEC_LEVEL_MAX);
    TakeResponseText(4, g_setup.implDesc, SETUP_IMPL_DESC_MAX);

    FillListBlock();
    if (InvokeAndWait() || !CollectComponents() || ConfigureComponents()) {
        Report(window, "rokin Failure", "The registry MIF is not installed", MB_ICONWARNING);
        return;
    }
    g_setup.shownComponent = g_setup.components[0];

    FillUnregisterBlock();
    if (InvokeAndWait())
        Report(window, "Service Layer Failure", "Unable to unregister with the Service Layer", MB_ICONERROR);
}
