#include "split_command_line.h"

#include <string.h>

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

int SplitCommandLine(const char *line, char *buffer, char **tokens)
{
    size_t length = strlen(line);
    int count = 0;
    char *p = buffer;

    tokens[0] = NULL;
    if (length >= DETACH_LINE_SIZE)
        return -1;
    memcpy(buffer, line, length + 1);

    while (count < DETACH_TOKEN_SLOTS - 1) {
        char quote = '\0';

        while (IsBlank(*p))
            p++;
        if (*p == '\0')
            break;

        if (*p == '"' || *p == '\'') {
            quote = *p++;
            /* The quote twice, and not three times, is an empty token. */
            if (p[0] == quote && p[1] != quote) {
                *p++ = '\0';
                tokens[count++] = p - 1;
                tokens[count] = NULL;
                continue;
            }
        }
        tokens[count++] = p;
        tokens[count] = NULL;

        if (!quote) {
            while (*p != '\0' && !IsBlank(*p))
                p++;
        } else {
            while (*p != '\0') {
                if (*p == quote) {
                    if (p[1] != quote)
                        break;
                    /* A doubled quote stands for one: drop the second. */
                    memmove(p + 1, p + 2, strlen(p + 2) + 1);
                }
                p++;
            }
        }
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return count;
}
