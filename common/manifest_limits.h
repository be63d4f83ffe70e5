// Bounds of a product manifest, shared by the Update Worker, which reads
// manifests, and the release tool, which writes them: one definition, so the
// two can never disagree. Plain constants without any operating-system header.
#pragma once

enum {
    // Most files one manifest may list. Real games ship tens of thousands of
    // files; the Worker sizes its table from the manifest, so the bound only
    // keeps a hostile or broken manifest from asking for unbounded memory. A
    // manifest that lists more is refused whole, never cut.
    kMaxManifestFiles = 200000,
    // Most bytes of a manifest document: 200,000 entries of about 320 bytes
    // (a 120-byte path, the 64-digit digest, a size and the keys) fit, and so
    // do 100,000 entries with long paths and explicit addresses. The three
    // launcher documents keep their smaller cap.
    kMaxManifestBytes = 64 * 1024 * 1024,
    // Read capacities (bytes, terminator included) of one entry's texts.
    kManifestPathBytes = 520,
    kManifestUrlBytes = 760,
    kManifestSha256Bytes = 72,
};

// Files the launcher itself keeps in the root of every product folder (the
// installed version, the known-good marker, the serial of the installed
// release, the record of what the file system said about each verified file,
// and the temporary files they are written through). A manifest that lists one of them, or a folder of that name, in
// any letter case, is refused: the launcher's write would replace the game's
// file after every job and the next verify would fetch it again.
static const char *const kProductFolderOwnNames[] = {
    "version.json",
    ".orvelant-known-good",
    ".orvelant-release-serial",
    ".orvelant-release-serial.new",
    ".orvelant-version.new",
    ".orvelant-known-good.new",
    ".orvelant-file-states",
    ".orvelant-file-states.new",
};
