// fuzz_replay_main.cpp -- runs a fuzz target over every file of its corpus
// folders, so that the corpus is replayed by the ordinary test suite (and
// under the sanitizers) without libFuzzer.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int RunFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char **argv) {
    int files = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            files += RunFile(argv[i]);
            continue;
        }
        DIR *dir = opendir(argv[i]);
        while (struct dirent *e = dir ? readdir(dir) : nullptr) {
            if (e->d_name[0] == '.') continue;
            files += RunFile(std::string(argv[i]) + "/" + e->d_name);
        }
        if (dir) closedir(dir);
    }
    printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
