// The request handlers of each protocol kind: the single place where a protocol's procedures
// are attached to the requests of the catalogue.
#include "client/transfer/session/request_table.h"

namespace orvane {

namespace {

constexpr int at(RequestKind kind) {
    return static_cast<int>(kind);
}

// FTP and FTPS share their procedures; they tell the kinds apart through the session.
void fill_ftp_row(RequestRow& row) {
    row[at(RequestKind::kFinishWithResult)] = request_finish_direct;
}

void fill_sftp_row(RequestRow& row) {
    row[at(RequestKind::kFinishWithResult)] = request_finish_direct;
    // Disconnect sends nothing over SFTP and succeeds; Get modification time is not offered.
    row[at(RequestKind::kDisconnect)] = request_complete_ok;
    row[at(RequestKind::kModificationTime)] = request_not_available;
}

struct Table {
    RequestRow rows[kProtocolKindCount] = {};  // null entries complete with 1
    Table() {
        fill_ftp_row(rows[kProtocolFtp - kProtocolKindFirst]);
        fill_sftp_row(rows[kProtocolSftp - kProtocolKindFirst]);
        fill_ftp_row(rows[kProtocolFtpsProtected - kProtocolKindFirst]);
        fill_ftp_row(rows[kProtocolFtpsClear - kProtocolKindFirst]);
    }
};

}  // namespace

RequestRow* request_table() {
    static Table table;
    return table.rows;
}

}  // namespace orvane
