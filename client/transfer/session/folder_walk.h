// The folder walks behind the Transfer list and Delete list requests, independent of any protocol:
// a protocol hands the walk a table of its steps, and the walk runs each one nested inside the
// request, continuing with its result.
#pragma once

#include "client/transfer/session/request_dispatch.h"

namespace orvane {

// A protocol's steps. Each one is run like a request handler on the running request (its
// arguments in the session) and must end, as a handler does, in exactly one complete_request().
struct WalkSteps {
    RequestHandler change_folder;  // enter s.path1; s.remote_folder becomes the server's answer
    RequestHandler folder_up;      // go up one level (FTP: CDUP and PWD)
    RequestHandler list;           // s.listing of the current folder
    RequestHandler make_folder;    // create s.path1 (a name relative to the current folder, or a path)
    RequestHandler remove_folder;  // remove s.argument
    RequestHandler delete_file;    // delete s.argument
    RequestHandler download;       // s.local_entry from s.remote_entry
    RequestHandler upload;         // s.remote_entry from s.local_entry
    // True when the steps name files by their full paths (SFTP): no folder is entered for a
    // file, no CDUP, and folders are made and removed by full path.
    bool full_paths;
    // True when `list` lists the folder s.path1 by its path without entering it: the download walk
    // then enters no folder at all.
    bool list_by_path = false;
    // True when an upload walk makes each folder before looking for it (by full path, with a
    // `make_folder` that says nothing when the folder is there): a new folder costs one request.
    bool make_first = false;
};

// The name of a walk state (for traces).
const char* walk_state_name(int state);

// The remote file a transfer walk running on `s` downloads next when the file now moving goes well,
// or null: a protocol that can ask for it early does. Folders, uploads and files handed to other
// sessions give none. A wrong guess costs the protocol a request, never a wrong file: the download
// asked for names its own path.
const RemoteFileEntry* walk_next_download(const Session& s);

// Starts the walk over s.transfer_list with s.upload_rules and s.download_rules.
void start_transfer_walk(Session& s, const WalkSteps& steps);
// Starts the delete walk over s.delete_list.
void start_delete_walk(Session& s, const WalkSteps& steps);

}  // namespace orvane
