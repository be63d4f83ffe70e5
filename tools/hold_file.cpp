// hold-file <path> <seconds>
// Opens a file for reading and keeps it open, shared for reading only, as a
// running game holds its data: another program can read it but neither
// replace, delete nor write it until this one ends. Prints "held" once open.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold-file <path> <seconds>\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold-file: cannot open %ls (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep((DWORD)(std::wcstoul(argv[2], nullptr, 10) * 1000));
    CloseHandle(file);
    return 0;
}
