#include "app/BatchOutcome.h"

const char* BatchResult_Name(BatchResult result)
{
    switch (result) {
    case BatchResult::Updated:
        return "updated";
    case BatchResult::Current:
        return "current";
    case BatchResult::Failed:
        return "failed";
    case BatchResult::Skipped:
        return "skipped";
    case BatchResult::Interrupted:
        return "interrupted";
    }
    return "unknown";
}
