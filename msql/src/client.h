/* Internals of the client library shared between its units (and its fuzz target). */
#ifndef MSQL_CLIENT_H
#define MSQL_CLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 once a configuration file has been loaded. */
int msqlConfigLoaded(void);
/* Completes the set-up of a freshly connected socket: reads the greeting, sends
 * the user's login name and reads the server's answer. Returns 0, or -1 with the
 * error in msqlErrMsg and the socket closed. */
int msqlHandshake(int sock);

#ifdef __cplusplus
}
#endif

#endif
