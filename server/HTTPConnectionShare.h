#pragma once
// While one of these lives, the GETs of the process share connections and TLS sessions:
// an operation that asks one server several things in a row connects, and shakes hands,
// once. When the last one ends, the connections kept open are closed.
class HTTPConnectionShare {
public:
    HTTPConnectionShare();
    ~HTTPConnectionShare();
    HTTPConnectionShare(const HTTPConnectionShare&) = delete;
    HTTPConnectionShare& operator=(const HTTPConnectionShare&) = delete;

    // Puts a GET's libcurl easy handle on the shared connections, when a share lives.
    // The handle must be released before the share ends.
    static void Attach(void* curl_handle);
};
