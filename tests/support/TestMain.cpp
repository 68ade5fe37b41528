// Entry point of every test program.
#include <gtest/gtest.h>

#include "tests/support/TraceCapture.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
// Every test starts with the production seams and leaves none behind.
class SeamReset : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo&) override { GpSeamsReset(); }
    void OnTestEnd(const ::testing::TestInfo&) override { GpSeamsReset(); }
};
} // namespace

int main(int argc, char** argv)
{
    // Records of this test program go to its own debug pipe (see TraceCapture).
    std::wstring pipe = lumotest::TestPipeName();
    GpTraceControl(-9, 0, pipe.c_str());
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new SeamReset);
    return RUN_ALL_TESTS();
}
