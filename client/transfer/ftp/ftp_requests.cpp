// The FTP request handlers of single commands (folders, rename, times, QUIT, raw commands), and the
// table of every FTP handler.
#include "client/transfer/ftp/ftp_requests.h"

#include "client/transfer/ftp/ftp_procedures.h"

namespace orvane {

namespace {

void complete_with_result(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
}

// Posts one command whose step result is the request's result.
void one_command(Session& s, FtpCommand command, CompletionCallback next = complete_with_result) {
    if (post_ftp_command(s, command, next, 0) != 0) complete_request_soon(s, 1);
}

void modification_time_done(int, void* owner, int result) {
    Session& s = *static_cast<Session*>(owner);
    if (result == 0) s.modification_time = s.argument;
    complete_request(s, result);
}

void ftp_modification_time(Session& s) {
    s.argument = s.path1;
    one_command(s, FtpCommand::kMdtm, modification_time_done);
}

void ftp_disconnect(Session& s) {
    one_command(s, FtpCommand::kQuit);
}

void ftp_rename(Session& s) {
    one_command(s, FtpCommand::kRnfr);
}

void ftp_print_folder(Session& s) {
    one_command(s, FtpCommand::kPwd);
}

void ftp_custom_command(Session& s) {
    one_command(s, FtpCommand::kCustom);
}

}  // namespace

// A parallel walk's helper is given each folder by its full path: no PWD to learn where it went.
void ftp_change_folder(Session& s) {
    one_command(s, s.walk_helper ? FtpCommand::kEnter : FtpCommand::kCwd);
}

void ftp_enter_by_path(Session& s) {
    one_command(s, FtpCommand::kEnter);
}

void ftp_make_folder(Session& s) {
    s.argument = s.path1;
    one_command(s, FtpCommand::kMkd);
}

void ftp_folder_up(Session& s) {
    one_command(s, FtpCommand::kCdup);
}

void ftp_remove_folder(Session& s) {
    one_command(s, FtpCommand::kRmd);
}

void ftp_delete_file(Session& s) {
    one_command(s, FtpCommand::kDele);
}

namespace {

constexpr RequestEntry kHandlers[] = {
    {RequestKind::kConnect, ftp_connect},
    {RequestKind::kModificationTime, ftp_modification_time},
    {RequestKind::kDisconnect, ftp_disconnect},
    {RequestKind::kGetListing, ftp_listing},
    {RequestKind::kTransferList, ftp_transfer_list},
    {RequestKind::kDeleteList, ftp_delete_walk},
    {RequestKind::kMakeFolder, ftp_make_folder},
    {RequestKind::kRename, ftp_rename},
    {RequestKind::kPrintFolder, ftp_print_folder},
    {RequestKind::kChangeFolder, ftp_change_folder},
    {RequestKind::kDownload, ftp_download},
    {RequestKind::kUpload, ftp_upload},
    {RequestKind::kCustomCommand, ftp_custom_command},
};

}  // namespace

std::span<const RequestEntry> ftp_request_handlers() {
    return kHandlers;
}

}  // namespace orvane
