// nas_path.cpp -- the NAS_ROOT resolver for fixed appliance paths.
#include "nas_path.h"

#include <stdlib.h>
#include <string.h>

static const char *NasRoot() {
    const char *root = getenv("NAS_ROOT");
    return (root != nullptr && root[0] != '\0') ? root : nullptr;
}

std::string NasPath(const char *path) {
    if (path == nullptr) return std::string();
    const char *root = NasRoot();
    if (root == nullptr || path[0] != '/') return std::string(path);
    std::string mapped(root);
    while (!mapped.empty() && mapped.back() == '/') mapped.pop_back();
    mapped += path;
    return mapped;
}

int NasPathInto(char *out, size_t outSize, const char *path) {
    if (out == nullptr || outSize == 0) return 1;
    std::string mapped = NasPath(path);
    if (mapped.size() >= outSize) {
        out[0] = '\0';
        return 1;
    }
    memcpy(out, mapped.c_str(), mapped.size() + 1);
    return 0;
}
