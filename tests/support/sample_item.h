#pragma once

#include "store/schedule_record.h"

namespace veltrane::test {

// A weekly item with every one of the 24 editor fields set to a value of its
// own, so a field copied into the wrong place shows.
inline ItemProperties SampleWeeklyItem()
{
    ItemProperties p;
    p.strTables = "EMP,DEPT";
    p.strBackUpFolder = "/backup/";
    p.strBackUpType = "매주";
    p.nDay = 15;
    p.strWeek = "수";
    p.strTime = "23:05:00";
    p.strPWD = "tiger";
    p.strID = "scott";
    p.strServiceName = "ORCL";
    p.strProgramPath = "/opt/oracle/bin/exp";
    p.strMailReceiveList = "a@example.com;b@example.com";
    p.nReservedFiles = 7;
    p.strExecutionOption = "compress=y";
    p.strDescription = "nightly";
    p.bUseSmtpServer = true;
    p.strSmtpUserID = "mailer";
    p.strSmtpUserPassword = "smtp-secret";
    p.strSmtpServer = "smtp.example.com";
    p.bDataTransfer = true;
    p.bDataCompress = true;
    p.strFtpUserID = "ftpuser";
    p.strFtpUserPassword = "ftp-secret";
    p.strFtpServer = "ftp.example.com";
    p.strFtpLocation = "/dumps";
    return p;
}

} // namespace veltrane::test
