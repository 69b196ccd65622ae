#include "core/AtomicFile"

#include "support/TestSupport.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::listDir;
using testsupport::TempDir;
using testsupport::writeText;

// Unnamed while written; named when committed, replacing the old file; nothing when discarded.
TEST(AtomicFile, AppearsOnlyWhenCommittedAndLeavesNothingElse)
{
    TempDir dir;
    const std::string path = dir.file("a.jpg");
    for (const char *text : { "first", "second", "discarded" }) {
        core::AtomicFile file(path.c_str());
        ASSERT_FALSE(file.isNamed()) << "this file system offers no unnamed files";
        writeText(file.writePath(), text);
        EXPECT_EQ(listDir(dir.path()).size(), text[0] == 'f' ? 0u : 1u);
        if (text[0] != 'd') {
            EXPECT_EQ(file.commit(), 0);
        }
    }
    EXPECT_EQ(testsupport::readText(path), "second");
    EXPECT_EQ(listDir(dir.path()).size(), 1u);
}

// A writer killed half-way: an unnamed file is gone even after SIGKILL; a named temporary is
// removed by the signal handler.
TEST(AtomicFile, AKilledWriterLeavesNothingBehind)
{
    TempDir dir;
    for (bool unnamed : { true, false }) {
        const pid_t child = fork();
        if (child == 0) {
            core::removeTemporariesOnSignals();
            core::AtomicFile file(dir.file("a.jpg").c_str(), unnamed);
            writeText(file.writePath(), "half a photograph");
            if (file.isNamed() == unnamed || listDir(dir.path()).size() != (unnamed ? 0u : 1u))
                _exit(3);
            std::raise(unnamed ? SIGKILL : SIGTERM);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
        EXPECT_TRUE(listDir(dir.path()).empty()) << unnamed;
    }
}
