#include "common/aLinkSpec.h"

#include <cstdlib>
#include <cstring>

linkSpec* aLinkSpec_Create(linkType type)
{
    linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec)
{
    linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy)
        memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

bool aLinkSpec_FromRecord(const void* bytes, size_t length, linkSpec* spec)
{
    if (!bytes || !spec || length != sizeof(linkSpec))
        return false;
    memcpy(spec, bytes, sizeof(linkSpec));
    spec->portName[aLINKSPEC_PORTNAME_MAX] = '\0';
    return true;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}
