// nas_path.h -- maps the appliance's fixed absolute paths into a test root.
//
// Every fixed path of the appliance ("/dev/mtd", "/tmp/...", "/nasext/main/",
// "/mnt/USB...", "/web/...", "/media.conf", "/bin/...") reaches the file system
// through NasPath. When the environment variable NAS_ROOT names a folder, that
// folder is put in front of the path, so a test or a developer can run the
// daemons against a tree of their own. Text that is parsed or matched keeps the
// appliance's form; only file-system access and paths given to shell commands
// are mapped.
#pragma once

#include <stddef.h>

#include <string>

// The path as the file system sees it: NAS_ROOT + path for an absolute path
// when NAS_ROOT is set and not empty, else the path unchanged.
std::string NasPath(const char *path);

// The same into a caller's buffer. Returns 0, or 1 when the result does not
// fit in outSize bytes (out then holds an empty string).
int NasPathInto(char *out, size_t outSize, const char *path);
