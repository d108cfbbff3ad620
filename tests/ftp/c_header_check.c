/* Compiled as C: proves the public header is plain C and that a C caller can
 * use the calls through the header's types. Uploads, downloads and deletes
 * one file; after a success there is no reason to tell. */
#include "c_header_check.h"

#include "hoistline.h"

int HoistlineRoundTripFromC(const char* server, int port, const char* user, const char* password,
                            const char* remoteFile, const char* upload, const char* download)
{
    PutLocalFileViaFTPProc put = PutLocalFileViaFTP;
    GetRemoteFileViaFTPProc get = GetRemoteFileViaFTP;
    DeleteRemoteFileViaFTPProc del = DeleteRemoteFileViaFTP;
    GetLastFTPErrorProc lastError = GetLastFTPError;
    char reason[64];

    if (put(server, remoteFile, user, password, port, 0, upload) != 1)
        return 1;
    if (get(server, remoteFile, user, password, port, 0, download) != 1)
        return 2;
    if (del(server, remoteFile, user, password, port, 0) != 1)
        return 3;
    return lastError(reason, (int)sizeof reason) == 0 ? 0 : 4;
}
