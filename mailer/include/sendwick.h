/*
 * Sendwick: sends one mail message to a list of recipients, one SMTP session
 * per recipient, and writes every step of every session to a log file.
 *
 * All texts are zero-terminated 8-bit strings in the caller's code page
 * (code page 949); the library passes their bytes on unchanged and labels
 * each encoded text with the charset its bytes are in: "EUC-KR" while every
 * character is one EUC-KR has, otherwise "CP949". A null pointer counts as an
 * empty text. Nothing is allocated for the caller; between calls the library
 * keeps only each thread's last report for GetLastMailError.
 *
 * Both calls return 1 when every recipient was handled and 0 as soon as one
 * recipient's session failed; the recipients after it are not tried, and no
 * pause is made between them. Every session's entries in the log end with
 * exactly one closing entry, "SEND OK ..." or "SEND ERROR ..."; a session
 * takes at most 15 minutes, each wait at most what RFC 5321 4.5.3.2 asks of a
 * client (5 minutes for the greeting and a command's reply, 10 after the
 * message). Control bytes a server sends (CR, LF and the others) are written
 * out in the log as \r, \n, \xNN, so that no server can add a line of its
 * own; a log that would grow past 10 MiB is renamed "<logPath>.1", replacing
 * the one before, and a new one starts. GetLastMailError tells the calling
 * thread why its last call failed, whether a password went in clear, and
 * whether the log could not be written.
 */
#ifndef SENDWICK_H
#define SENDWICK_H

#if defined(SENDWICK_BUILDING)
#define SENDWICK_API __attribute__((visibility("default")))
#else
#define SENDWICK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Delivers the message straight to the mail exchangers of each recipient's
 * domain (DNS MX), port 25, without login: each address of each exchanger in
 * order of preference (equal ones in random order) until one greets, or the
 * domain's own address when it has no MX record (RFC 5321 5.1); a domain
 * with a null MX takes no mail.
 *
 * from        sender: "address" or "Display Name <address>"
 * recipients  recipient mailboxes separated by ';'; tokens without an '@'
 *             after their first character are skipped and count as handled
 * bodyType    "TEXT" (exactly) for a plain-text body, anything else for HTML;
 *             a plain-text body goes as text/plain with CR LF line ends (in
 *             Base64 when it holds 8-bit bytes or attachments go with it);
 *             an HTML body goes with its text as a text/plain alternative
 *             for readers that show no HTML
 * subject     subject text
 * body        plain text or HTML source
 * attachments file paths separated by ';', empty for none; a file that
 *             cannot be read fails the session before any server is asked;
 *             a name beyond ASCII is labelled UTF-8 when its bytes are
 *             UTF-8, else by the charset of the caller's code page
 * logPath     session log to append to, empty for none
 *
 * Every message carries a Message-ID with this machine's host name.
 */
SENDWICK_API int SendMail(const char* from, const char* recipients, const char* bodyType,
                          const char* subject, const char* body, const char* attachments,
                          const char* logPath);

/*
 * Hands the message to one SMTP server after logging in, one session per
 * recipient; the other arguments are those of SendMail. `server` is
 *   host                         port 25, STARTTLS when offered
 *   host:port                    that port; STARTTLS on 587, TLS on 465,
 *                                STARTTLS when offered on any other
 *   smtp+starttls://host[:port]  STARTTLS (port 587 unless given)
 *   smtps://host[:port]          TLS from the first byte (port 465 unless given)
 * where host is a name, a dotted address or a bracketed IPv6 address. Over
 * TLS the server's certificate must chain to one the system trusts (OpenSSL's
 * default paths; SSL_CERT_FILE and SSL_CERT_DIR name others) and be for the
 * host; a server without STARTTLS where it is required fails the session.
 * A server that offers STARTTLS gets the login over TLS or not at all, on
 * any port: a refused STARTTLS (454), a failed handshake (a server that
 * speaks only TLS 1.0 or 1.1) or a certificate that fails the check
 * (self-signed, expired, for another name) fails the session with that
 * reason. Only where TLS is not required and the server offers no STARTTLS
 * does the login go in clear, as it always has, and the log and
 * GetLastMailError say so. The login is AUTH LOGIN, or over TLS
 * AUTH PLAIN when the server offers PLAIN but not LOGIN. The password never
 * reaches the log.
 */
SENDWICK_API int SendMailViaSMTP(const char* server, const char* user, const char* password,
                                 const char* from, const char* recipients, const char* bodyType,
                                 const char* subject, const char* body, const char* attachments,
                                 const char* logPath);

/*
 * Copies what the calling thread's most recent SendMail or SendMailViaSMTP
 * call left to tell into buffer, as one line of plain text of at most a few
 * hundred bytes, zero-terminated and cut to fit bufferSize, its parts joined
 * by "; ": when the call failed, the first failed recipient and the reason;
 * when a password went to the server in clear (whether or not the mail went
 * out), that; when the session log could not be opened or written (whether
 * or not the mail went out), that. A NULL buffer or a bufferSize of 0 or less
 * writes nothing. Returns the length in bytes of the whole text, without the
 * terminating zero: 0 when the last call on this thread succeeded with its
 * log written and no password in clear, or none was made. Examples:
 *   dba@example.kr: 550 5.1.1 Recipient address rejected
 *   dba@example.kr: connection refused (127.0.0.1:25)
 *   dba@example.kr: no reply within 5 min (greeting)
 *   dba@example.kr: certificate rejected: certificate has expired
 *   password sent in clear to smtp.example.kr:25 (no STARTTLS offered)
 *   /opt/app/SendResult.Log cannot be written: Permission denied
 * The texts are for people; they may change between versions.
 */
SENDWICK_API int GetLastMailError(char* buffer, int bufferSize);

/*
 * Checks, without sending anything or connecting to any mail server, what
 * SendMail with these texts would fail on before a server takes the message:
 * a sender or recipient that no session sends (a line break, another control
 * byte, a blank or angle bracket inside the address, a comma that makes one
 * recipient two, a sender address with nothing on one side of its "@" such
 * as "@"), and a recipient domain whose mail has nowhere to go (the domain
 * does not exist, publishes a null MX, or none of its exchangers has an
 * address). It asks DNS as the sessions do, and skips what they skip: with
 * no recipient token holding an '@' after its first character, nothing is
 * checked.
 *
 * The findings go into buffer as lines of plain text joined by "
", each
 * naming what it is about, zero-terminated and cut to fit bufferSize (a NULL
 * buffer or a bufferSize of 0 or less writes nothing). Returns the length in
 * bytes of the whole text without the terminating zero: 0 when nothing was
 * found. It leaves GetLastMailError's report as it was. Examples:
 *   sender Veltrane <@>: sender address "@" lacks a user or a domain
 *   dba@example.kr: example.kr takes no mail (null MX)
 *   a@x.kr,b@x.kr: comma in address (separate addresses with ";")
 */
SENDWICK_API int CheckMail(const char* from, const char* recipients, char* buffer, int bufferSize);

/*
 * CheckMail for SendMailViaSMTP: the same checks of sender and recipients,
 * and instead of the recipients' domains the server text (read as
 * SendMailViaSMTP reads it) and the server's address. Nothing is sent to the
 * server; the login is not tried.
 *   server mail.example.kr:x: ...
 */
SENDWICK_API int CheckMailViaSMTP(const char* server, const char* from, const char* recipients,
                                  char* buffer, int bufferSize);

/*
 * Tries the route SendMailViaSMTP would take for the sender `from`, as far as
 * the login: connects, reads the greeting, takes STARTTLS (with the same
 * certificate checks) and logs in with `user` and `password`, then says QUIT.
 * No mail is sent. The session is logged to logPath (empty: nowhere), its
 * entries starting with "LOGIN" instead of "SEND". The reason it stopped goes
 * into buffer as one line, as CheckMail writes its findings; the return is
 * its length: 0 when the login was accepted (over TLS, or in clear where TLS
 * was not required and not offered: that is then the reason given).
 */
SENDWICK_API int CheckMailLogin(const char* server, const char* user, const char* password,
                                const char* from, const char* logPath, char* buffer,
                                int bufferSize);

/* The calls' types, for a caller that looks them up by name (dlsym). */
typedef int (*SendMailProc)(const char* from, const char* recipients, const char* bodyType,
                            const char* subject, const char* body, const char* attachments,
                            const char* logPath);
typedef int (*SendMailViaSMTPProc)(const char* server, const char* user, const char* password,
                                   const char* from, const char* recipients, const char* bodyType,
                                   const char* subject, const char* body, const char* attachments,
                                   const char* logPath);
typedef int (*GetLastMailErrorProc)(char* buffer, int bufferSize);
typedef int (*CheckMailProc)(const char* from, const char* recipients, char* buffer,
                             int bufferSize);
typedef int (*CheckMailViaSMTPProc)(const char* server, const char* from, const char* recipients,
                                    char* buffer, int bufferSize);
typedef int (*CheckMailLoginProc)(const char* server, const char* user, const char* password,
                                  const char* from, const char* logPath, char* buffer,
                                  int bufferSize);

#ifdef __cplusplus
}
#endif

#endif /* SENDWICK_H */
