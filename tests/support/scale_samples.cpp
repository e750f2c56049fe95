// Scales raw interleaved S16 samples (host byte order) by the gain reference, for scripts that
// want the expected audio without a formula of their own.
//
//   scale_samples LEVEL < IN.raw > OUT.raw
//
// Exit status: 0 done, 1 a read or write failed, 2 usage error.

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "gain_reference.h"

int main(int argc, char** argv) {
    char* end = nullptr;
    const long level = argc == 2 ? strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || end == argv[1] || *end != '\0') {
        fprintf(stderr, "usage: scale_samples LEVEL < IN.raw > OUT.raw\n");
        return 2;
    }
    std::vector<int16_t> block(4096);
    size_t n;
    while ((n = fread(block.data(), sizeof block[0], block.size(), stdin)) > 0) {
        for (size_t i = 0; i < n; ++i) block[i] = scaled(block[i], static_cast<int>(level));
        if (fwrite(block.data(), sizeof block[0], n, stdout) != n) {
            perror("scale_samples: cannot write standard output");
            return 1;
        }
    }
    if (ferror(stdin)) {
        perror("scale_samples: cannot read standard input");
        return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
