#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 0 when all three calls succeeded, else the number of the first
 * call that failed (1 upload, 2 download, 3 delete; 4: a reason is left). */
int HoistlineRoundTripFromC(const char* server, int port, const char* user, const char* password,
                            const char* remoteFile, const char* upload, const char* download);

#ifdef __cplusplus
}
#endif
