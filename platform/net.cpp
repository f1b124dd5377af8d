#include "platform/net.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* The lookup owns the address memory; the list we hand out points into it,
 * so the head record keeps the lookup's result for freeing. */
typedef struct NetAddressList {
    NetAddress first;
    struct addrinfo *info;
} NetAddressList;

static int net_family_from_system(int family)
{
    return family == AF_INET6 ? NET_FAMILY_IPV6 : NET_FAMILY_IPV4;
}

static int net_family_to_system(int family)
{
    return family == NET_FAMILY_IPV6 ? AF_INET6 : AF_INET;
}

static void net_fill_address(NetAddress *out, const struct addrinfo *ai)
{
    out->family = net_family_from_system(ai->ai_family);
    out->socktype = ai->ai_socktype;
    out->protocol = ai->ai_protocol;
    out->addr = ai->ai_addr;
    out->addr_len = (uint32_t)ai->ai_addrlen;
    out->next = NULL;
}

NetAddress *net_passive_addresses(int family, const char *port_text,
                                  const char **error_text)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = net_family_to_system(family);
    hints.ai_socktype = SOCK_STREAM;

    struct addrinfo *info = NULL;
    int rc = getaddrinfo(NULL, port_text, &hints, &info);
    if (rc != 0) {
        if (error_text)
            *error_text = gai_strerror(rc);
        return NULL;
    }
    if (!info) {
        if (error_text)
            *error_text = "no address";
        return NULL;
    }

    /* Count the entries to make one allocation that holds them all. */
    size_t count = 0;
    for (const struct addrinfo *ai = info; ai; ai = ai->ai_next)
        count++;
    NetAddressList *list = (NetAddressList *)calloc(1, sizeof(NetAddressList) +
                                                    (count - 1) * sizeof(NetAddress));
    if (!list) {
        freeaddrinfo(info);
        if (error_text)
            *error_text = "out of memory";
        return NULL;
    }
    list->info = info;
    NetAddress *entries = &list->first;
    size_t i = 0;
    for (const struct addrinfo *ai = info; ai; ai = ai->ai_next, i++) {
        net_fill_address(&entries[i], ai);
        if (i > 0)
            entries[i - 1].next = &entries[i];
    }
    return &list->first;
}

void net_free_addresses(NetAddress *list)
{
    if (!list)
        return;
    NetAddressList *owner = (NetAddressList *)list;
    freeaddrinfo(owner->info);
    free(owner);
}

NetSocket net_socket(int family, int socktype, int protocol)
{
    int s = socket(net_family_to_system(family), socktype | SOCK_CLOEXEC, protocol);
    return s < 0 ? NET_INVALID_SOCKET : s;
}

int net_set_nonblocking(NetSocket s)
{
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return 0;
    return fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

int net_set_reuse_address(NetSocket s)
{
    int one = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

int net_set_ipv6_only(NetSocket s, int only)
{
    int value = only ? 1 : 0;
    return setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
}

int net_bind(NetSocket s, const void *addr, uint32_t addr_len)
{
    return bind(s, (const struct sockaddr *)addr, (socklen_t)addr_len) == 0;
}

int net_listen(NetSocket s, int backlog)
{
    return listen(s, backlog) == 0;
}

int net_local_port(NetSocket s)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname(s, (struct sockaddr *)&ss, &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET6)
        return ntohs(((struct sockaddr_in6 *)&ss)->sin6_port);
    if (ss.ss_family == AF_INET)
        return ntohs(((struct sockaddr_in *)&ss)->sin_port);
    return -1;
}

NetSocket net_accept(NetSocket listener, void *addr, uint32_t *addr_len)
{
    socklen_t len = NET_ADDRESS_MAX;
    int s;
    do {
        s = accept(listener, (struct sockaddr *)addr, &len);
    } while (s < 0 && errno == EINTR);
    if (s < 0)
        return NET_INVALID_SOCKET;
    if (addr_len)
        *addr_len = (uint32_t)len;
    return s;
}

int64_t net_recv(NetSocket s, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = recv(s, buf, len, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t net_send(NetSocket s, const void *buf, size_t len)
{
    ssize_t n;
    do {
        n = send(s, buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

int net_shutdown_send(NetSocket s)
{
    return shutdown(s, SHUT_WR) == 0;
}

int net_close(NetSocket s)
{
    /* A close interrupted by a signal has still released the descriptor on
     * Linux, so it must not be retried. */
    return close(s) == 0 || errno == EINTR;
}

int net_numeric_host(const void *addr, uint32_t addr_len, char *out, size_t out_size)
{
    int rc = getnameinfo((const struct sockaddr *)addr, (socklen_t)addr_len, out,
                         (socklen_t)out_size, NULL, 0, NI_NUMERICHOST | NI_NUMERICSERV);
    return rc == 0;
}

int net_last_error(void)
{
    return errno;
}

int net_error_would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

const char *net_error_text(int error, char *buf, size_t buf_size)
{
    if (!buf || buf_size == 0)
        return "";
    buf[0] = '\0';
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char *text = strerror_r(error, buf, buf_size);
    if (text && text != buf)
        snprintf(buf, buf_size, "%s", text);
#else
    if (strerror_r(error, buf, buf_size) != 0)
        buf[0] = '\0';
#endif
    if (buf[0] == '\0')
        snprintf(buf, buf_size, "%d", error);
    return buf;
}
