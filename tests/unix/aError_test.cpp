#include <gtest/gtest.h>

#include <cerrno>

#include "unix/aError.h"

TEST(aError, NamesAndDescriptionsFollowTheCodes)
{
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
    EXPECT_STREQ(aError_GetErrorText(aErrShortCommand), "aErrShortCommand");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Tessarine command to short");
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
    EXPECT_STREQ(aError_GetErrorDescription(aErrStreamStale), "Stream value is stale");
}

TEST(aError, CodesBeyondTheTableAreUnknown)
{
    EXPECT_STREQ(aError_GetErrorText(34), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(0xFFFFFFFF), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(35), "Unknown error");
    EXPECT_EQ(aError_GetErrorText(35), aError_GetErrorText(aErrUnknown));
}

// The errors of an open or unlink that files and serial ports report alike.
TEST(aError, ErrnoOfAFailedOpenOrUnlink)
{
    const struct {
        int error;
        aErr code;
    } cases[] = {{ENOENT, aErrNotFound},  {ENODEV, aErrNotFound}, {ENXIO, aErrNotFound}, {EACCES, aErrPermission},
                 {EPERM, aErrPermission}, {EBUSY, aErrIO},        {EIO, aErrIO}};
    for (const auto& c : cases)
        EXPECT_EQ(aError_FromErrno(c.error), c.code) << c.error;
}
