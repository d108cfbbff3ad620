#pragma once

// An item whose run uploads its backup to the tests' FTP server, into
// "/backup" there.

#include "ftp_test_server.h"
#include "store/schedule_record.h"

#include <string>

namespace veltrane::test {

inline void UploadTo(const hoistline::test::FtpTestServer& ftp, ScheduleRecord& item)
{
    item.bDataTransfer = true;
    item.strFtpServer = "127.0.0.1:" + std::to_string(ftp.port());
    item.strFtpUserID = hoistline::test::FtpTestServer::kUser;
    item.strFtpUserPassword = hoistline::test::FtpTestServer::kPassword;
    item.strFtpLocation = "/backup";
}

} // namespace veltrane::test
