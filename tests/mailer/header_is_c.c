/* Compiled as C: proves that the public header is plain C and that the
 * entry points link under their unmangled names, with the header's types. */
#include "sendwick.h"

int sendwick_c_has_entry_points(void)
{
    SendMailProc sendMail = &SendMail;
    SendMailViaSMTPProc viaSmtp = &SendMailViaSMTP;
    GetLastMailErrorProc lastError = &GetLastMailError;
    CheckMailProc check = &CheckMail;
    CheckMailViaSMTPProc checkViaSmtp = &CheckMailViaSMTP;
    return sendMail != 0 && viaSmtp != 0 && lastError != 0 && check != 0 && checkViaSmtp != 0;
}

/* An empty recipient list is handled at once: nothing to send, success, and
 * nothing to tell; nor anything to check. */
int sendwick_c_send_to_nobody(void)
{
    return SendMail("robot@example.com", "", "HTML", "subject", "body", "", "") == 1 &&
           GetLastMailError(0, 0) == 0 && CheckMail("@", "", 0, 0) == 0;
}
