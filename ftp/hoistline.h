/*
 * Hoistline: moves one file between this machine and an FTP server per call.
 *
 * Every call opens its own FTP connection, logs in, does its one job and
 * closes the connection before it returns, ending the session with QUIT also
 * after a refused login or command; nothing is kept between calls, so the
 * calls may be made from any thread.
 *
 * Common arguments
 *   server      host name or dotted address of the FTP server (an IPv6
 *               address may be given bare or in brackets)
 *   remoteFile  path of the file on the server, "/" separated. A path that
 *               starts with "/" is absolute on the server; any other path is
 *               relative to the folder the login lands in. The bytes are sent
 *               exactly as given (no code-page conversion). Control bytes
 *               other than CR and LF (TAB, say) may be part of a name an
 *               upload or deletion uses; an upload to such a name stores the
 *               file under a temporary name in the same folder and renames it
 *               once the server has confirmed it. A download cannot name such
 *               a file and fails.
 *   user        login name, sent unchanged (an empty one too); NULL logs in
 *               anonymously
 *   password    login password, sent unchanged
 *   port        server port; 0 selects the standard FTP port 21
 *   reserved    ignored; pass 0
 *   localFile   path of the local file
 *
 * Connection
 *   Active mode: the server opens the data connection back to the address
 *   this machine used for the control connection. A firewall or NAT between
 *   the two must let that connection in (the usual case on a LAN, or with an
 *   FTP-aware firewall). Transfers are binary. Proxy settings come from the
 *   environment (ftp_proxy, all_proxy, no_proxy).
 *
 * Time limits
 *   A server that cannot be reached, or does not finish the greeting and
 *   login, fails the call after 20 seconds. Afterwards the call fails when
 *   the server leaves a command unanswered for 60 seconds, does not open the
 *   data connection within 30 seconds of being asked to (whether or not it
 *   has answered the transfer command meanwhile), or moves no data for about
 *   a minute.
 *
 * Results
 *   Each call returns 1 on success and 0 on any failure: bad arguments
 *   (including a CR or LF in the remote path, user or password, which would
 *   let one argument smuggle in further FTP commands), an unreachable server,
 *   a refused login or a failed transfer. No detail is reported and nothing
 *   is logged.
 */
#ifndef HOISTLINE_H
#define HOISTLINE_H

#if defined(HOISTLINE_BUILDING)
#define HOISTLINE_API __attribute__((visibility("default")))
#else
#define HOISTLINE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Uploads localFile to remoteFile, replacing a remote file of that name.
 * Before the upload every folder on the way is requested from the server:
 * for each "/" at byte position 2 or later of remoteFile, the text before it,
 * outermost first. A refused folder request (for one that already exists,
 * say) does not stop the upload. A local file that cannot be opened fails
 * the call before the server is contacted. Returns 1 when the server
 * confirmed the whole file. */
HOISTLINE_API int PutLocalFileViaFTP(const char* server, const char* remoteFile, const char* user,
                                     const char* password, int port, int reserved,
                                     const char* localFile);

/* Downloads remoteFile to localFile. The data goes to a temporary file in the
 * same folder, which replaces localFile only once the whole file has arrived:
 * after a failure an existing localFile is left as it was. The file's size is
 * asked for first (SIZE) to tell a complete file from a cut-off one; a server
 * that refuses SIZE is still asked for the file. Returns 1 on success. */
HOISTLINE_API int GetRemoteFileViaFTP(const char* server, const char* remoteFile, const char* user,
                                      const char* password, int port, int reserved,
                                      const char* localFile);

/* Deletes remoteFile on the server. Returns 1 when the server deleted it. */
HOISTLINE_API int DeleteRemoteFileViaFTP(const char* server, const char* remoteFile,
                                         const char* user, const char* password, int port,
                                         int reserved);

#ifdef __cplusplus
}
#endif

#endif /* HOISTLINE_H */
