// libzmq, opened on the first ZeroMQ call (unix/aLazyLibrary.h): the functions the
// project calls directly (libczmq reaches libzmq on its own).
#include <zmq.h>

#include "unix/aLazyLibrary.h"

namespace {
aLazyLibrary zmq{ZMQ_SONAME};
}

int zmq_errno(void)
{
    return aLAZY(zmq, zmq_errno)();
}

void* zmq_ctx_new(void)
{
    return aLAZY(zmq, zmq_ctx_new)();
}

int zmq_ctx_term(void* context_)
{
    return aLAZY(zmq, zmq_ctx_term)(context_);
}

int zmq_ctx_shutdown(void* context_)
{
    return aLAZY(zmq, zmq_ctx_shutdown)(context_);
}

int zmq_msg_init(zmq_msg_t* msg_)
{
    return aLAZY(zmq, zmq_msg_init)(msg_);
}

int zmq_msg_recv(zmq_msg_t* msg_, void* s_, int flags_)
{
    return aLAZY(zmq, zmq_msg_recv)(msg_, s_, flags_);
}

int zmq_msg_close(zmq_msg_t* msg_)
{
    return aLAZY(zmq, zmq_msg_close)(msg_);
}

void* zmq_msg_data(zmq_msg_t* msg_)
{
    return aLAZY(zmq, zmq_msg_data)(msg_);
}

size_t zmq_msg_size(const zmq_msg_t* msg_)
{
    return aLAZY(zmq, zmq_msg_size)(msg_);
}

int zmq_msg_more(const zmq_msg_t* msg_)
{
    return aLAZY(zmq, zmq_msg_more)(msg_);
}

void* zmq_socket(void* context, int type_)
{
    return aLAZY(zmq, zmq_socket)(context, type_);
}

int zmq_close(void* s_)
{
    return aLAZY(zmq, zmq_close)(s_);
}

int zmq_setsockopt(void* s_, int option_, const void* optval_, size_t optvallen_)
{
    return aLAZY(zmq, zmq_setsockopt)(s_, option_, optval_, optvallen_);
}

int zmq_getsockopt(void* s_, int option_, void* optval_, size_t* optvallen_)
{
    return aLAZY(zmq, zmq_getsockopt)(s_, option_, optval_, optvallen_);
}

int zmq_bind(void* s_, const char* addr_)
{
    return aLAZY(zmq, zmq_bind)(s_, addr_);
}

int zmq_connect(void* s_, const char* addr_)
{
    return aLAZY(zmq, zmq_connect)(s_, addr_);
}

int zmq_send(void* s_, const void* buf_, size_t len_, int flags_)
{
    return aLAZY(zmq, zmq_send)(s_, buf_, len_, flags_);
}

int zmq_recv(void* s_, void* buf_, size_t len_, int flags_)
{
    return aLAZY(zmq, zmq_recv)(s_, buf_, len_, flags_);
}

int zmq_poll(zmq_pollitem_t* items_, int nitems_, long timeout_)
{
    return aLAZY(zmq, zmq_poll)(items_, nitems_, timeout_);
}
