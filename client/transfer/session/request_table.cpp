// The request handlers of each protocol kind: the single place where a protocol's procedures
// are attached to the requests of the catalogue.
#include "client/transfer/session/request_table.h"

namespace orvane {

namespace {

constexpr int at(RequestKind kind) {
    return static_cast<int>(kind);
}

void fill(RequestRow& row, std::span<const RequestEntry> entries) {
    for (const RequestEntry& e : entries) {
        int k = at(e.kind);
        if (k > 0 && k < kRequestKindCount) row[static_cast<size_t>(k)] = e.handler;
    }
}

RequestRow& row_of(RequestTable& table, int protocol) {
    return table.rows[static_cast<size_t>(protocol - kProtocolKindFirst)];
}

}  // namespace

RequestHandler RequestTable::handler(int protocol, RequestKind kind) const {
    int k = at(kind);
    if (!is_protocol_kind(protocol) || k <= 0 || k >= kRequestKindCount) return request_not_available;
    RequestHandler h = rows[static_cast<size_t>(protocol - kProtocolKindFirst)][static_cast<size_t>(k)];
    return h ? h : request_not_available;
}

RequestTable make_request_table(std::span<const RequestEntry> ftp, std::span<const RequestEntry> sftp) {
    RequestTable table;
    for (int p : {kProtocolFtp, kProtocolFtpsProtected, kProtocolFtpsClear}) {
        RequestRow& row = row_of(table, p);
        row[at(RequestKind::kFinishWithResult)] = request_finish_direct;
        fill(row, ftp);
    }
    RequestRow& row = row_of(table, kProtocolSftp);
    row[at(RequestKind::kFinishWithResult)] = request_finish_direct;
    // Disconnect sends nothing over SFTP and succeeds; Get modification time is not offered.
    row[at(RequestKind::kDisconnect)] = request_complete_ok;
    row[at(RequestKind::kModificationTime)] = request_not_available;
    fill(row, sftp);
    return table;
}

}  // namespace orvane
