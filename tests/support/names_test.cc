// A parameterised test is run, listed and reported by its name alone; one
// called /3, or after a byte dump of its parameter, tells the reader of a
// failure nothing about what was tried.  Compiled into every test program,
// whose build names the suite (TEST_NAMES_SUITE) so that CTest lists each
// program's check apart.
#include <gtest/gtest.h>

#include <string>

namespace {

// Empty when the last part of a parameterised test's name is a word.
std::string unreadable(const std::string& name) {
    const std::string last = name.substr(name.rfind('/') + 1);
    if (last.empty() || last.find_first_not_of("0123456789") == std::string::npos)
        return "named by its index; give INSTANTIATE_TEST_SUITE_P a name generator";
    return "";
}

TEST(TEST_NAMES_SUITE, EveryParameterisedTestSaysWhatItTries) {
    const ::testing::UnitTest& program = *::testing::UnitTest::GetInstance();
    for (int s = 0; s < program.total_test_suite_count(); ++s) {
        const ::testing::TestSuite& suite = *program.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const ::testing::TestInfo& test = *suite.GetTestInfo(t);
            if (test.value_param() == nullptr) continue;
            EXPECT_EQ(unreadable(test.name()), "") << suite.name() << "." << test.name();
        }
    }
}

}  // namespace
