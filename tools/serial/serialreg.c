/* serialreg: stores the machine's serial number from a text file in the registry. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The first line: 63 characters, and the end mark always in the last byte. */
#define FILE_SERIAL_SIZE 65
/* The stored value, its end mark included. */
#define STORED_SERIAL_SIZE 64

static const char keyPath[] = "SOFTWARE\\Orvane\\DMI\\1.00\\ComponentID";
static const char valueName[] = "Serial Number";
static const char placeholder[] = "0000000000";

static void PrintUsage(const char *program)
{
    printf("Normal Usage:\n");
    printf("\t%s somedevice:\\somedirectory\\somefile.txt [-n] \n", program);
    printf("\t Normally c:\\sysser.txt\n");
    printf("\t where -n will not delete the specified file after successful completion\n");
    printf("\t default is to delete the file.\n");
}

static int IsAsciiLetterOrDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

/* Drops newline, blanks and punctuation from the end. */
static void TrimEnd(char *text)
{
    size_t length = strlen(text);

    while (length > 0 && !IsAsciiLetterOrDigit(text[length - 1]))
        text[--length] = '\0';
}

/*
 * The stored serial number, or the empty string when there is none: no key, no
 * string value, a value too long for the buffer, or the placeholder or a leading
 * part of it.
 */
static void ReadStoredSerial(HKEY key, char *serial)
{
    DWORD type = REG_NONE;
    DWORD size = STORED_SERIAL_SIZE;

    if (!key || RegQueryValueExA(key, valueName, NULL, &type, (BYTE *)serial, &size) != ERROR_SUCCESS
        || type != REG_SZ) {
        serial[0] = '\0';
        return;
    }
    if (!memchr(serial, '\0', size)) {
        if (size >= STORED_SERIAL_SIZE) {
            serial[0] = '\0';
            return;
        }
        serial[size] = '\0';
    }
    if (strncmp(serial, placeholder, strlen(serial)) == 0)
        serial[0] = '\0';
}

/*
 * The interpreter expands % and ! even between double quotes, del takes * ? < >
 * as wildcards, and " cannot be quoted: a path holding any of them, or a control
 * character, could make the commands act on another file.
 */
static int IsSafeInQuotes(const char *path)
{
    for (; *path; path++) {
        if ((unsigned char)*path < 0x20 || strchr("%!*?\"<>|", *path))
            return 0;
    }
    return 1;
}

/*
 * Makes the file visible and deletes it through the command interpreter. The
 * commands get the full path between double quotes: spaces, & ^ ( ) ; , = are
 * then plain characters, and a full path never starts like a switch.
 */
static void RemoveFile(const char *path)
{
    char fullPath[MAX_PATH];
    char command[MAX_PATH + 16];
    DWORD length = GetFullPathNameA(path, sizeof fullPath, fullPath, NULL);

    if (length == 0 || length >= sizeof fullPath || !IsSafeInQuotes(fullPath)) {
        printf("File '%s' not deleted: its path cannot be passed safely to the command interpreter\n",
               path);
        return;
    }
    snprintf(command, sizeof command, "attrib -h \"%s\"", fullPath);
    system(command);
    snprintf(command, sizeof command, "del \"%s\"", fullPath);
    system(command);
}

static void WriteSerial(HKEY key, const char *serial)
{
    RegSetValueExA(key, valueName, 0, REG_SZ, (const BYTE *)serial, (DWORD)strlen(serial) + 1);
}

int main(int argc, char **argv)
{
    const char *program = argc > 0 ? argv[0] : "serialreg";
    char fileSerial[FILE_SERIAL_SIZE] = "";
    char storedSerial[STORED_SERIAL_SIZE];
    int deleteFile = 1;
    FILE *file;
    HKEY key = NULL;

    if (argc < 2) {
        PrintUsage(program);
        return 0;
    }
    if (argc > 2) {
        if (argv[2][0] == '-' && (argv[2][1] == 'n' || argv[2][1] == 'N')) {
            deleteFile = 0;
        } else {
            printf("Error. Invalid or unknown argument '%s'\n", argv[2]);
            PrintUsage(program);
            return 0;
        }
    }

    file = fopen(argv[1], "r");
    if (file) {
        if (!fgets(fileSerial, FILE_SERIAL_SIZE - 1, file))
            fileSerial[0] = '\0';
        TrimEnd(fileSerial);
    }

    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)
        != ERROR_SUCCESS)
        key = NULL;
    ReadStoredSerial(key, storedSerial);

    if (file) {
        fclose(file);
        /* Without the key, the file is the only copy of its serial number. */
        if (deleteFile && (key || !fileSerial[0]))
            RemoveFile(argv[1]);
    }

    if (key) {
        if (fileSerial[0])
            WriteSerial(key, fileSerial);
        else if (!storedSerial[0])
            WriteSerial(key, placeholder);
        RegCloseKey(key);
    }
    return 0;
}
