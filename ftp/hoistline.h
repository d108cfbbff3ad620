/*
 * Hoistline: moves one file between this machine and a server per call, over
 * FTP, FTP with TLS or SFTP.
 *
 * Every call opens its own connection, logs in, does its one job and closes
 * the connection before it returns; a plain FTP session ends with QUIT also
 * after a refused login or command. Nothing is kept between calls but each
 * thread's last reason for GetLastFTPError, so the calls may be made from
 * any thread.
 *
 * Common arguments
 *   server      host name or dotted address of the server (an IPv6 address
 *               may be given bare or in brackets), optionally preceded by a
 *               scheme, in any letter case, that says how to speak to it:
 *                 host, ftp://host  FTP, active mode first (port 21)
 *                 ftpes://host      FTP with TLS started by AUTH TLS (21)
 *                 ftps://host       FTP inside TLS from the start (990)
 *                 sftp://host       SFTP, over SSH (22)
 *               Another scheme, or anything after the host ("user@host",
 *               "host/x"), fails the call.
 *   remoteFile  path of the file on the server, "/" separated. A path that
 *               starts with "/" is absolute on the server; any other path is
 *               relative to the folder the login lands in. The bytes are sent
 *               exactly as given (no code-page conversion). Control bytes
 *               other than CR and LF (TAB, say) may be part of a name an
 *               upload or deletion uses. A download over FTP cannot name
 *               such a file and fails; SFTP carries any such name.
 *   user        login name, sent unchanged (an empty one too); NULL logs in
 *               anonymously
 *   password    login password, sent unchanged
 *   port        server port; 0 selects the scheme's standard port above
 *   reserved    ignored; pass 0
 *   localFile   path of the local file
 *
 * Connection
 *   FTP: active mode first: the server opens the data connection back to the
 *   address this machine used for the control connection. That connection
 *   is taken only from the server's address (the control connection's peer;
 *   through a SOCKS proxy from any address, as the server's is unknown): one
 *   from anywhere else is closed before a byte moves, and the server's is
 *   waited for within the same limit. When the server refuses active mode
 *   (PORT/EPRT refused), says it cannot connect back (425), or does not
 *   connect back in time, the call tries once more, over a new connection,
 *   in passive mode (this machine connects to the server): an upload then
 *   sends the whole file again; folders the first attempt made stay; a
 *   reason then also tells what became of active mode. Transfers are binary.
 *   FTP with TLS: passive mode only; the login, the commands and every data
 *   connection are encrypted with TLS 1.2 or newer (whatever OpenSSL's
 *   configuration would allow), or the call fails. The server's certificate
 *   must chain to a certificate OpenSSL trusts by default (the system's
 *   store, or the file SSL_CERT_FILE and the folder SSL_CERT_DIR name
 *   instead) and must name the host as given in `server`.
 *   SFTP: password login (also through keyboard-interactive prompts). The
 *   server's host key must be listed in a known_hosts file, the first that
 *   exists of: the file that the environment variable HOISTLINE_KNOWN_HOSTS
 *   names (the program names the one in its data folder), "known_hosts" in
 *   the folder this library was loaded from, and the user's
 *   ~/.ssh/known_hosts. An unknown, changed or revoked key fails the call, as
 *   does a known_hosts file that exists but cannot be read. An operator adds
 *   a server's keys, after checking them, with
 *       ssh-keyscan -p PORT host >> known_hosts
 *   Lines are read as the OpenSSH client reads them: a line names the
 *   server by "host" for port 22 only, by "[host]:PORT" for any other port
 *   (as ssh-keyscan writes it), by a pattern ("*", "?", "!"), or in hashed
 *   form ("|1|..."); in any order, among lines of other hosts. The server is
 *   asked for a key of a type the file lists for it (Ed25519, then ECDSA,
 *   then RSA); an "@revoked" line rejects its key even where another line
 *   lists it; "@cert-authority" lines are not supported. RSA host keys are
 *   checked only with the SHA-1 "ssh-rsa" signature, which OpenSSH 8.8 and
 *   later refuse by default: for such a server the file needs its Ed25519
 *   or ECDSA key.
 *   Proxy settings come from the environment (ftp_proxy, ftps_proxy,
 *   sftp_proxy, all_proxy, no_proxy); TLS and SSH go through a tunnel.
 *
 * Time limits
 *   A server that cannot be reached, or does not finish the greeting (TLS or
 *   SSH handshake included) and login, fails the call after 20 seconds.
 *   Afterwards the call fails when the server leaves a command unanswered for
 *   60 seconds or moves no data for about a minute. In active mode, a server
 *   that does not open the data connection within 30 seconds of being asked
 *   to (whether or not it has answered the transfer command meanwhile) ends
 *   that attempt, and the passive one follows with the same limits. After a
 *   failed upload, a new connection under the same limits deals with its
 *   temporary file.
 *
 * Results
 *   Each call returns 1 on success and 0 on any failure: bad arguments
 *   (including a CR or LF in the remote path, user or password, which would
 *   let one argument smuggle in further FTP commands), an unreachable server,
 *   a refused login, an unverified certificate or host key, or a failed
 *   transfer. GetLastFTPError tells the calling thread why its last call
 *   failed. Nothing is logged; passwords go to the server only, never into a
 *   URL, a log or a reason.
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
 * the call before the server is contacted. Over SFTP the folders are made
 * with mkdir. The file is sent as long as it was when the call began; one
 * that shrinks meanwhile fails the call.
 * The file appears under remoteFile whole or not at all: it is stored under
 * a temporary name in the same folder ("hoistline-", 16 hex digits, ".part")
 * and renamed to remoteFile once the server has confirmed all of it: over
 * FTP with RNFR and RNTO, over SFTP with rm of the old file, then rename
 * (SFTP servers commonly refuse to rename onto a file). The account thus
 * needs the right to rename in that folder, and over SFTP, to replace a
 * file, to delete. When the transfer or the rename fails, a new connection
 * removes the temporary file, or puts it in place when the server confirmed
 * all of it and its final name is free (or the server renames onto a file);
 * a whole file that may be the only copy is never removed. An FTP server
 * that refused to rename onto the old file gets that file deleted and the
 * rename asked for again. A process killed mid-upload leaves its temporary
 * file behind, never a cut file under remoteFile.
 * Through an HTTP proxy (plain FTP with ftp_proxy naming an http:// proxy)
 * no FTP command reaches the server: the file is stored straight under
 * remoteFile, so a cut upload can leave a cut file there, and no folder is
 * requested. Returns 1 only when the whole file is under remoteFile. */
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

/* Copies the reason the calling thread's most recent PutLocalFileViaFTP,
 * GetRemoteFileViaFTP or DeleteRemoteFileViaFTP call failed into buffer, as
 * one line of plain text of at most a few hundred bytes, zero-terminated and
 * cut to fit bufferSize. A NULL buffer or a bufferSize of 0 or less writes
 * nothing. Returns the length in bytes of the whole reason, without the
 * terminating zero: 0 when the last call on this thread succeeded or none
 * was made. Examples:
 *   login refused: 530 Login incorrect.
 *   DELE refused: 550 No such file or directory.
 *   connection refused (127.0.0.1:21)
 *   no connection to ftp.example.org:21 within 20 s
 *   cannot resolve the host name ftp.example.org
 *   certificate rejected: unable to get local issuer certificate
 *   unknown SSH host key: [10.0.0.5]:2222 is not listed in /opt/app/known_hosts
 *   SSH host key revoked: the key of backup.example.org is marked @revoked in ...
 *   no SSH host key type in common with [10.0.0.5]:2222: ... lists ssh-rsa for it ...
 *   login refused: the server accepts only publickey logins, no password
 *   PASV refused: 502 ... (active mode: refused a data connection from
 *     10.0.0.9, which is not the server (10.0.0.5); the server did not open
 *     one within 30 s)
 *   cannot open /backup/a.dmp: No such file or directory
 * The texts are for people; they may change between versions. */
HOISTLINE_API int GetLastFTPError(char* buffer, int bufferSize);

/* Logs in and goes to remoteFolder without moving or changing anything:
 * over FTP with CWD (no data connection), over SFTP by reading the folder's
 * listing; the host key and certificate checks are those of a transfer. An
 * empty or NULL remoteFolder is the folder the login lands in. Returns 1 when
 * the server let the login into the folder; GetLastFTPError tells why not. */
HOISTLINE_API int CheckRemoteFolderViaFTP(const char* server, const char* remoteFolder,
                                          const char* user, const char* password, int port,
                                          int reserved);

/* The calls' types, for a caller that looks them up by name (dlsym). */
typedef int (*PutLocalFileViaFTPProc)(const char* server, const char* remoteFile, const char* user,
                                      const char* password, int port, int reserved,
                                      const char* localFile);
typedef int (*GetRemoteFileViaFTPProc)(const char* server, const char* remoteFile, const char* user,
                                       const char* password, int port, int reserved,
                                       const char* localFile);
typedef int (*DeleteRemoteFileViaFTPProc)(const char* server, const char* remoteFile,
                                          const char* user, const char* password, int port,
                                          int reserved);
typedef int (*CheckRemoteFolderViaFTPProc)(const char* server, const char* remoteFolder,
                                           const char* user, const char* password, int port,
                                           int reserved);
typedef int (*GetLastFTPErrorProc)(char* buffer, int bufferSize);

#ifdef __cplusplus
}
#endif

#endif /* HOISTLINE_H */
