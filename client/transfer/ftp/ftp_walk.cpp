// The FTP steps that the folder walks run: CWD and PWD, CDUP and PWD, the listing procedure, MKD,
// RMD, DELE, and the download and upload procedures.
#include "client/transfer/ftp/ftp_walk.h"

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/session/folder_walk.h"

namespace orvane {

namespace {

void step_done(int, void* owner, int result) {
    complete_request(*static_cast<Session*>(owner), result);
}

void one_command(Session& s, FtpCommand command) {
    if (post_ftp_command(s, command, step_done, 0) != 0) complete_request_soon(s, 1);
}

void change_folder(Session& s) {
    one_command(s, FtpCommand::kCwd);  // CWD s.path1, then PWD
}

void folder_up(Session& s) {
    one_command(s, FtpCommand::kCdup);
}

void make_folder(Session& s) {
    s.argument = s.path1;
    one_command(s, FtpCommand::kMkd);
}

void remove_folder(Session& s) {
    one_command(s, FtpCommand::kRmd);
}

void delete_file(Session& s) {
    one_command(s, FtpCommand::kDele);
}

constexpr WalkSteps kFtpWalkSteps{
    change_folder, folder_up,    ftp_listing, make_folder, remove_folder,
    delete_file,   ftp_download, ftp_upload,  false,
};

}  // namespace

void ftp_transfer_list(Session& s) {
    start_transfer_walk(s, kFtpWalkSteps);
}

void ftp_delete_walk(Session& s) {
    start_delete_walk(s, kFtpWalkSteps);
}

}  // namespace orvane
