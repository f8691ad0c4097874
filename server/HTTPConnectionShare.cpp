#include "server/HTTPConnectionShare.h"

#include <curl/curl.h>

#include <mutex>

namespace {

struct Share {
    std::mutex mutex;  // guards users and handle
    unsigned users = 0;
    CURLSH* handle = nullptr;
    std::mutex data[CURL_LOCK_DATA_LAST];  // libcurl's own locks on what is shared
};

Share& _share()
{
    static Share share;
    return share;
}

void _lock(CURL*, curl_lock_data data, curl_lock_access, void*)
{
    _share().data[data].lock();
}
void _unlock(CURL*, curl_lock_data data, void*)
{
    _share().data[data].unlock();
}

CURLSH* _create()
{
    CURLSH* handle = curl_share_init();
    if (!handle)
        return nullptr;
    curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &_lock);
    curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &_unlock);
    curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    return handle;
}

}  // namespace

HTTPConnectionShare::HTTPConnectionShare()
{
    std::lock_guard<std::mutex> lock(_share().mutex);
    ++_share().users;
}

HTTPConnectionShare::~HTTPConnectionShare()
{
    Share& share = _share();
    std::lock_guard<std::mutex> lock(share.mutex);
    if (--share.users > 0 || !share.handle)
        return;
    curl_share_cleanup(share.handle);
    share.handle = nullptr;
}

void HTTPConnectionShare::Attach(void* curl_handle)
{
    Share& share = _share();
    std::lock_guard<std::mutex> lock(share.mutex);
    if (share.users == 0)
        return;
    // Made at the first GET: libcurl is initialised by then.
    if (!share.handle)
        share.handle = _create();
    if (share.handle)
        curl_easy_setopt(static_cast<CURL*>(curl_handle), CURLOPT_SHARE, share.handle);
}
