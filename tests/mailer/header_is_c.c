/* Compiled as C: proves that the public header is plain C and that both
 * entry points link under their unmangled names. */
#include "sendwick.h"

typedef int (*SendMailFunction)(const char*, const char*, const char*, const char*, const char*,
                                const char*, const char*);
typedef int (*SendMailViaSmtpFunction)(const char*, const char*, const char*, const char*,
                                       const char*, const char*, const char*, const char*,
                                       const char*, const char*);

int sendwick_c_has_entry_points(void)
{
    SendMailFunction sendMail = &SendMail;
    SendMailViaSmtpFunction viaSmtp = &SendMailViaSMTP;
    return sendMail != 0 && viaSmtp != 0;
}

/* An empty recipient list is handled at once: nothing to send, success. */
int sendwick_c_send_to_nobody(void)
{
    return SendMail("robot@example.com", "", "HTML", "subject", "body", "", "");
}
