/* Non-blocking TCP sockets for the HTTP server.
 *
 * Every call reports failure by its result (NET_INVALID_SOCKET, -1 or 0);
 * the reason is then in net_last_error(), which net_error_would_block()
 * classifies and net_error_text() turns into words. Sending never raises
 * SIGPIPE: a peer that went away is an ordinary error. */
#ifndef BRINDLECOT_PLATFORM_NET_H
#define BRINDLECOT_PLATFORM_NET_H

#include <stddef.h>
#include <stdint.h>

typedef int NetSocket;
#define NET_INVALID_SOCKET (-1)

/* Room for any socket address the system can hand back. */
#define NET_ADDRESS_MAX 128

/* One candidate address of a lookup; a NULL-terminated list. */
typedef struct NetAddress {
    int family; /* NET_FAMILY_* */
    int socktype;
    int protocol;
    const void *addr;
    uint32_t addr_len;
    struct NetAddress *next;
} NetAddress;

enum {
    NET_FAMILY_IPV4 = 4,
    NET_FAMILY_IPV6 = 6
};

/* The addresses to listen on at a numeric port, every interface of one
 * family (no host name, passive). NULL on failure with the lookup's own
 * error text in *error_text (static storage). Free with net_free_addresses. */
NetAddress *net_passive_addresses(int family, const char *port_text,
                                  const char **error_text);
void net_free_addresses(NetAddress *list);

NetSocket net_socket(int family, int socktype, int protocol);
int net_set_nonblocking(NetSocket s);
int net_set_reuse_address(NetSocket s);
/* 0 lets IPv4 clients reach an IPv6 socket through mapped addresses. */
int net_set_ipv6_only(NetSocket s, int only);
int net_bind(NetSocket s, const void *addr, uint32_t addr_len);
int net_listen(NetSocket s, int backlog);

/* The port a bound socket got (useful after binding port 0); -1 on failure. */
int net_local_port(NetSocket s);

/* A new connection, or NET_INVALID_SOCKET. The peer's address goes into
 * addr (NET_ADDRESS_MAX bytes); *addr_len gets its length. */
NetSocket net_accept(NetSocket listener, void *addr, uint32_t *addr_len);

/* Bytes moved (0 from net_recv: the peer closed), or -1. */
int64_t net_recv(NetSocket s, void *buf, size_t len);
int64_t net_send(NetSocket s, const void *buf, size_t len);

/* Tells the peer no more data follows, while reading stays possible. */
int net_shutdown_send(NetSocket s);
int net_close(NetSocket s);

/* Numeric host text of a socket address; 1/0. */
int net_numeric_host(const void *addr, uint32_t addr_len, char *out, size_t out_size);

/* The error of the last failed call on this thread. */
int net_last_error(void);
/* 1 when the error only means "not now, try again later". */
int net_error_would_block(int error);
/* The system's text for the error, or its number when there is none. */
const char *net_error_text(int error, char *buf, size_t buf_size);

#endif
