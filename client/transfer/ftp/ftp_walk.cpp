// The FTP walks: what the server offers (FEAT, once per connection) decides whether a transfer walk
// names every file and folder by its full path and lists with MLSD, or enters each folder and lists
// with LIST.
#include <string_view>

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/session/folder_walk.h"
#include "common/text.h"

namespace orvane {

namespace {

// Each folder entered and listed with LIST; files named relative to it. The walk names every
// folder by its full path, so CWD needs no PWD to say where it went.
constexpr WalkSteps kEnteringSteps{
    ftp_enter_by_path, ftp_folder_up,        ftp_listing,        ftp_make_folder, ftp_remove_folder,
    ftp_delete_file,   ftp_download_in_walk, ftp_upload_in_walk, false,
};

// The delete walk goes up with CDUP, whose folder only PWD can tell: it enters with CWD and PWD.
constexpr WalkSteps kDeleteSteps{
    ftp_change_folder, ftp_folder_up, ftp_listing, ftp_make_folder, ftp_remove_folder,
    ftp_delete_file,   ftp_download,  ftp_upload,  false,
};

// Everything by its full path: folders are listed without being entered, files need no CWD, and the
// exact facts of MLSD spare each file its MDTM and SIZE. Uploads still enter each folder once, to
// learn whether it must be made. (The folder-up and remove steps serve delete walks only, which
// never take this table.)
constexpr WalkSteps kPathSteps{
    ftp_enter_by_path,
    ftp_folder_up,
    ftp_list_by_path,
    ftp_make_folder,
    ftp_remove_folder,
    ftp_delete_file,
    ftp_download_by_path,
    ftp_upload_by_path,
    true,
    true,
};

// The feature lines of a FEAT reply: one feature a line, indented by a space, its name first.
void read_features(FtpSessionState& fs, const ServerReply& reply) {
    for (const std::string& line : reply.lines) {
        if (line.empty() || line[0] != ' ') continue;
        std::string_view feature = std::string_view(line).substr(1);
        std::string_view name = feature.substr(0, feature.find(' '));
        if (iequals(name, "MLST")) fs.machine_listing = true;
        if (iequals(name, "MFMT")) fs.mfmt = true;
    }
}

void start_walk(Session& s) {
    ftp_state(s).transfer.folder_ids.clear();
    ftp_state(s).transfer.top_folder_asked = false;
    start_transfer_walk(s, ftp_state(s).session.machine_listing ? kPathSteps : kEnteringSteps);
}

void on_features(int, void* owner, int result) {
    Session& s = *static_cast<Session*>(owner);
    FtpState& st = ftp_state(s);
    st.session.features_known = true;
    // A server without FEAT is walked the way every server can be.
    if (result == 0) read_features(st.session, st.control.reply);
    s.failure.clear();
    start_walk(s);
}

}  // namespace

void ftp_transfer_list(Session& s) {
    if (ftp_state(s).session.features_known) return start_walk(s);
    if (post_ftp_command(s, FtpCommand::kFeat, on_features, 0) != 0) complete_request_soon(s, 1);
}

// Deletes never list by MLSD: servers that follow links there (pyftpdlib) list a link to a folder
// as the folder, and the walk would empty the folder it points to. LIST shows the link as a link,
// and DELE removes only the link.
void ftp_delete_walk(Session& s) {
    start_delete_walk(s, kDeleteSteps);
}

}  // namespace orvane
