/* Compiled as C: proves the public header is plain C and that a C caller can
 * use the calls. Uploads, downloads and deletes one file. */
#include "c_header_check.h"

#include "hoistline.h"

int HoistlineRoundTripFromC(const char* server, int port, const char* user, const char* password,
                            const char* remoteFile, const char* upload, const char* download)
{
    int (*put)(const char*, const char*, const char*, const char*, int, int, const char*) =
        PutLocalFileViaFTP;
    int (*get)(const char*, const char*, const char*, const char*, int, int, const char*) =
        GetRemoteFileViaFTP;
    int (*del)(const char*, const char*, const char*, const char*, int, int) =
        DeleteRemoteFileViaFTP;

    if (put(server, remoteFile, user, password, port, 0, upload) != 1)
        return 1;
    if (get(server, remoteFile, user, password, port, 0, download) != 1)
        return 2;
    if (del(server, remoteFile, user, password, port, 0) != 1)
        return 3;
    return 0;
}
