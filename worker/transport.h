// What the Worker takes from the update host, and how it checks it.
#pragma once

#include <windows.h>

int HttpGetToMemory(const wchar_t *url, char **out_body, unsigned int *out_length);
int DownloadToFile(const wchar_t *url, const wchar_t *destination);
int FetchSignedDocument(const wchar_t *url, const char *token, char **out_body,
                        unsigned int *out_length);
int IsSha256Hex(const char *text);
