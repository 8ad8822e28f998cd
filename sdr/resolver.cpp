// The thread waits for a question under the mutex, asks getaddrinfo with
// the mutex released, stores the answer and writes one byte to the pipe.
// Its stack is the thread library's; the service's own code allocates
// nothing.
#include "sdr/resolver.h"

#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Resolver {
    pthread_mutex_t lock;
    pthread_cond_t asked;
    bool started;
    bool question;  ///< a question waits for the thread
    bool busy;      ///< the thread is inside getaddrinfo
    bool answered;  ///< an answer waits for the loop
    int pipe_r;
    int pipe_w;
    char host[64];
    char port[8];
    int rc;
    addrinfo* list;
};
constinit Resolver r{PTHREAD_MUTEX_INITIALIZER,
                     PTHREAD_COND_INITIALIZER,
                     false,
                     false,
                     false,
                     false,
                     -1,
                     -1,
                     {},
                     {},
                     0,
                     nullptr};

addrinfo make_hints(int flags) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

void* run(void*) {
    pthread_mutex_lock(&r.lock);
    for (;;) {
        while (!r.question) pthread_cond_wait(&r.asked, &r.lock);
        char host[sizeof r.host];
        char port[sizeof r.port];
        memcpy(host, r.host, sizeof host);
        memcpy(port, r.port, sizeof port);
        r.question = false;
        r.busy = true;
        pthread_mutex_unlock(&r.lock);
        const addrinfo hints = make_hints(0);
        addrinfo* list = nullptr;
        const int rc = getaddrinfo(host, port, &hints, &list);
        pthread_mutex_lock(&r.lock);
        r.busy = false;
        if (r.answered && r.list != nullptr) freeaddrinfo(r.list);  // an answer not taken
        r.rc = rc;
        r.list = list;
        r.answered = true;
        const char byte = 1;
        (void)!write(r.pipe_w, &byte, 1);
    }
    return nullptr;
}

bool start() {
    if (r.started) return true;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    r.pipe_r = p[0];
    r.pipe_w = p[1];
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);  // getaddrinfo needs some; not megabytes
    const bool ok = pthread_create(&thread, &attr, run, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) {
        close(p[0]);
        close(p[1]);
        return false;
    }
    r.started = true;
    return true;
}

}  // namespace

int resolver_numeric(const char* host, const char* port, addrinfo** list) {
    *list = nullptr;
    const addrinfo hints = make_hints(AI_NUMERICHOST);
    return getaddrinfo(host, port, &hints, list);
}

int resolver_ask(const char* host, const char* port) {
    pthread_mutex_lock(&r.lock);
    if (!start()) {
        pthread_mutex_unlock(&r.lock);
        return -1;
    }
    if (!r.busy) {
        // A stale answer (its question was given up) makes way for a fresh one.
        if (r.answered && r.list != nullptr) freeaddrinfo(r.list);
        r.answered = false;
        r.list = nullptr;
        strncpy(r.host, host, sizeof r.host - 1);
        strncpy(r.port, port, sizeof r.port - 1);
        r.question = true;
        pthread_cond_signal(&r.asked);
    }
    pthread_mutex_unlock(&r.lock);
    return 0;
}

int resolver_fd() {
    return r.started ? r.pipe_r : -1;
}

bool resolver_take(int* rc, addrinfo** list) {
    if (!r.started) return false;
    char bytes[16];
    while (read(r.pipe_r, bytes, sizeof bytes) > 0) {
    }
    pthread_mutex_lock(&r.lock);
    const bool got = r.answered && !r.question;
    if (got) {
        *rc = r.rc;
        *list = r.list;
        r.answered = false;
        r.list = nullptr;
    }
    pthread_mutex_unlock(&r.lock);
    return got;
}
