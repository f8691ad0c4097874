// Version texts as the verification compares them: field by field, as numbers
// where both fields are decimal.
#include <gtest/gtest.h>

#include "app/UpdaterVerify.h"

namespace {

struct VersionCase {
    const char* a;
    const char* b;
    bool same;
};

class SameVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(SameVersion, ComparesFieldsAsNumbers)
{
    EXPECT_EQ(_same_version(GetParam().a, GetParam().b), GetParam().same);
    EXPECT_EQ(_same_version(GetParam().b, GetParam().a), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(Versions, SameVersion,
                         ::testing::Values(VersionCase{"2.16.1", "2.16.01", true},
                                           VersionCase{"2.16.1", "2.16.1", true},
                                           VersionCase{"02.016.000", "2.16.0", true},
                                           VersionCase{"2.16.1", "2.16.10", false},
                                           VersionCase{"2.16", "2.16.0", false},  // not the same number of fields
                                           VersionCase{"2.16.1-rc", "2.16.1-rc", true},
                                           VersionCase{"2.16.1-rc", "2.16.01-rc", false},  // text compared as text
                                           VersionCase{"2..1", "2.0.1", false}));

}  // namespace
