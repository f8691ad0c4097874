// libczmq, opened on the first call of one of its functions (unix/aLazyLibrary.h): the
// functions the project calls. Each variadic one is built on a fixed-argument function
// of the library; the actors the project starts by address (zauth, zbeacon) are
// forwarders of the actor's own signature.
#include <czmq.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "unix/aLazyLibrary.h"

namespace {

aLazyLibrary czmq{CZMQ_SONAME};

std::string _formatted(const char* format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? length : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

}  // namespace

zactor_t* zactor_new(zactor_fn task, void* args)
{
    return aLAZY(czmq, zactor_new)(task, args);
}

void zactor_destroy(zactor_t** self_p)
{
    aLAZY(czmq, zactor_destroy)(self_p);
}

void zauth(zsock_t* pipe, void* certstore)
{
    aLAZY(czmq, zauth)(pipe, certstore);
}

void zbeacon(zsock_t* pipe, void* unused)
{
    aLAZY(czmq, zbeacon)(pipe, unused);
}

zcert_t* zcert_load(const char* filename)
{
    return aLAZY(czmq, zcert_load)(filename);
}

void zcert_apply(zcert_t* self, void* socket)
{
    aLAZY(czmq, zcert_apply)(self, socket);
}

const char* zcert_public_txt(zcert_t* self)
{
    return aLAZY(czmq, zcert_public_txt)(self);
}

void zcert_destroy(zcert_t** self_p)
{
    aLAZY(czmq, zcert_destroy)(self_p);
}

zframe_t* zframe_recv(void* source)
{
    return aLAZY(czmq, zframe_recv)(source);
}

int zframe_send(zframe_t** self_p, void* dest, int flags)
{
    return aLAZY(czmq, zframe_send)(self_p, dest, flags);
}

byte* zframe_data(zframe_t* self)
{
    return aLAZY(czmq, zframe_data)(self);
}

size_t zframe_size(zframe_t* self)
{
    return aLAZY(czmq, zframe_size)(self);
}

zframe_t* zframe_dup(zframe_t* self)
{
    return aLAZY(czmq, zframe_dup)(self);
}

void zframe_destroy(zframe_t** self_p)
{
    aLAZY(czmq, zframe_destroy)(self_p);
}

ziflist_t* ziflist_new(void)
{
    return aLAZY(czmq, ziflist_new)();
}

const char* ziflist_first(ziflist_t* self)
{
    return aLAZY(czmq, ziflist_first)(self);
}

const char* ziflist_next(ziflist_t* self)
{
    return aLAZY(czmq, ziflist_next)(self);
}

const char* ziflist_address(ziflist_t* self)
{
    return aLAZY(czmq, ziflist_address)(self);
}

void ziflist_destroy(ziflist_t** self_p)
{
    aLAZY(czmq, ziflist_destroy)(self_p);
}

zmsg_t* zmsg_recv(void* source)
{
    return aLAZY(czmq, zmsg_recv)(source);
}

zframe_t* zmsg_pop(zmsg_t* self)
{
    return aLAZY(czmq, zmsg_pop)(self);
}

void zmsg_destroy(zmsg_t** self_p)
{
    aLAZY(czmq, zmsg_destroy)(self_p);
}

// The readers after the first one end at a null pointer.
zpoller_t* zpoller_new(void* reader, ...)
{
    zpoller_t* poller = aLAZY(czmq, zpoller_new)(reader, nullptr);
    va_list readers;
    va_start(readers, reader);
    for (void* next = reader ? va_arg(readers, void*) : nullptr; poller && next; next = va_arg(readers, void*))
        if (zpoller_add(poller, next) != 0)
            zpoller_destroy(&poller);
    va_end(readers);
    return poller;
}

int zpoller_add(zpoller_t* self, void* reader)
{
    return aLAZY(czmq, zpoller_add)(self, reader);
}

void zpoller_set_nonstop(zpoller_t* self, bool nonstop)
{
    aLAZY(czmq, zpoller_set_nonstop)(self, nonstop);
}

void* zpoller_wait(zpoller_t* self, int timeout)
{
    return aLAZY(czmq, zpoller_wait)(self, timeout);
}

void zpoller_destroy(zpoller_t** self_p)
{
    aLAZY(czmq, zpoller_destroy)(self_p);
}

zsock_t* zsock_new_checked(int type, const char* filename, size_t line_nbr)
{
    return aLAZY(czmq, zsock_new_checked)(type, filename, line_nbr);
}

zsock_t* zsock_new_dealer_checked(const char* endpoint, const char* filename, size_t line_nbr)
{
    return aLAZY(czmq, zsock_new_dealer_checked)(endpoint, filename, line_nbr);
}

void zsock_destroy_checked(zsock_t** self_p, const char* filename, size_t line_nbr)
{
    aLAZY(czmq, zsock_destroy_checked)(self_p, filename, line_nbr);
}

int zsock_bind(zsock_t* self, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::string endpoint = _formatted(format, arguments);
    va_end(arguments);
    return aLAZY(czmq, zsock_bind)(self, "%s", endpoint.c_str());
}

int zsock_connect(zsock_t* self, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::string endpoint = _formatted(format, arguments);
    va_end(arguments);
    return aLAZY(czmq, zsock_connect)(self, "%s", endpoint.c_str());
}

int zsock_send(void* self, const char* picture, ...)
{
    va_list arguments;
    va_start(arguments, picture);
    const int result = aLAZY(czmq, zsock_vsend)(self, picture, arguments);
    va_end(arguments);
    return result;
}

int zsock_signal(void* self, byte status)
{
    return aLAZY(czmq, zsock_signal)(self, status);
}

int zsock_wait(void* self)
{
    return aLAZY(czmq, zsock_wait)(self);
}

int zsock_events(void* self)
{
    return aLAZY(czmq, zsock_events)(self);
}

SOCKET zsock_fd(void* self)
{
    return aLAZY(czmq, zsock_fd)(self);
}

void* zsock_resolve(void* self)
{
    return aLAZY(czmq, zsock_resolve)(self);
}

void zsock_set_curve_server(void* self, int curve_server)
{
    aLAZY(czmq, zsock_set_curve_server)(self, curve_server);
}

void zsock_set_curve_serverkey(void* self, const char* curve_serverkey)
{
    aLAZY(czmq, zsock_set_curve_serverkey)(self, curve_serverkey);
}

void zsock_set_rcvtimeo(void* self, int rcvtimeo)
{
    aLAZY(czmq, zsock_set_rcvtimeo)(self, rcvtimeo);
}

void zsock_set_sndtimeo(void* self, int sndtimeo)
{
    aLAZY(czmq, zsock_set_sndtimeo)(self, sndtimeo);
}

char* zstr_recv(void* source)
{
    return aLAZY(czmq, zstr_recv)(source);
}

void zstr_free(char** string_p)
{
    aLAZY(czmq, zstr_free)(string_p);
}

// The strings, up to a null pointer, as the frames of one message: all or none are sent.
int zstr_sendx(void* dest, const char* string, ...)
{
    zmsg_t* message = aLAZY(czmq, zmsg_new)();
    if (!message)
        return -1;
    va_list strings;
    va_start(strings, string);
    bool complete = true;
    while (complete && string) {
        complete = aLAZY(czmq, zmsg_addstr)(message, string) == 0;
        string = va_arg(strings, const char*);
    }
    va_end(strings);
    if (!complete || aLAZY(czmq, zmsg_send)(&message, dest) != 0) {
        zmsg_destroy(&message);
        return -1;
    }
    return 0;
}

void zsys_handler_set(zsys_handler_fn* handler_fn)
{
    aLAZY(czmq, zsys_handler_set)(handler_fn);
}

void zsys_handler_reset(void)
{
    aLAZY(czmq, zsys_handler_reset)();
}

const char* zsys_interface(void)
{
    return aLAZY(czmq, zsys_interface)();
}

void zsys_set_interface(const char* value)
{
    aLAZY(czmq, zsys_set_interface)(value);
}
