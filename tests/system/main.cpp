// The guest suite, run inside a guest whose kernel has two snd-aloop cards (0 and 1, one
// substream per device): the real service between a known signal and a recording, on real kernel
// ALSA.
//
//   hdmi-preview-systest [GTEST_FLAGS] SERVICE_BINARY   (HDMI_PREVIEW_PROPERTY_DIR names the store)
//   hdmi-preview-systest [GTEST_FLAGS] --installed      (the packaged service under systemd)
//
// Installed, only the stream test runs, at level 7. Besides GoogleTest's own output, prints
// "SYSTEST PASS name" or "SYSTEST FAIL name: cause" per test, "SYSTEST FIGURE name: value" for
// the measured times and "SYSTEST DONE N failed" at the end, which the host's scripts tally.
// Exit status: 0 all passed, 1 a test failed, 2 usage error.

#include <ctype.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "gtest/gtest.h"
#include "guest_rig.h"

namespace {

// One line per finished test for the host's tally; a skipped test is not counted.
class TallyPrinter : public ::testing::EmptyTestEventListener {
  public:
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed()) return;
        // On one line, each run of white space one blank.
        if (!cause_.empty()) cause_ += "; ";
        bool blank = false;
        for (const char* c = result.message(); *c != '\0'; ++c) {
            if (isspace(static_cast<unsigned char>(*c))) {
                blank = true;
                continue;
            }
            if (blank && !cause_.empty() && cause_.back() != ' ') cause_ += ' ';
            blank = false;
            cause_ += *c;
        }
    }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const std::string name = std::string(test.test_suite_name()) + "." + test.name();
        if (test.result()->Failed()) {
            printf("SYSTEST FAIL %s: %s\n", name.c_str(), cause_.c_str());
            ++failed_;
        } else if (!test.result()->Skipped()) {
            printf("SYSTEST PASS %s\n", name.c_str());
        }
        fflush(stdout);
        cause_.clear();
    }
    void OnTestProgramEnd(const ::testing::UnitTest& /*unit*/) override {
        printf("SYSTEST DONE %d failed\n", failed_);
        fflush(stdout);
    }

  private:
    std::string cause_;
    int failed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s [GTEST_FLAGS] SERVICE_BINARY | --installed\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (strcmp(argv[1], "--installed") == 0) {
        ::testing::GTEST_FLAG(filter) = "StreamTest.*";
    } else {
        // The service is started with this environment, so both use one property store.
        const char* dir = getenv("HDMI_PREVIEW_PROPERTY_DIR");
        if (dir == nullptr || dir[0] == '\0') {
            fprintf(stderr, "hdmi-preview-systest: HDMI_PREVIEW_PROPERTY_DIR is not set\n");
            return 2;
        }
        guest_config().service_binary = argv[1];
        const char* library = getenv("HDMI_PREVIEW_SYSTEST_PCM_LIBRARY");
        if (library != nullptr) guest_config().pcm_library = library;
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new TallyPrinter);
    return RUN_ALL_TESTS() == 0 ? 0 : 1;
}
