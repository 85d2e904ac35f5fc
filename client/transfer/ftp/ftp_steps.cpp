// The command table of the control channel: each command's line and what its reply leads to.
#include <cstdlib>
#include <string>

#include "client/transfer/ftp/ftp_steps.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/text/ftp_text.h"
#include "client/transfer/text/machine_listing.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/table.h"
#include "common/text.h"

namespace orvane {

namespace {

ReplyAction finish(int result) {
    return ReplyAction{ReplyAction::kFinish, result, FtpCommand::kNone};
}
ReplyAction finish_if(bool ok) {
    return finish(ok ? 0 : 1);
}
ReplyAction send(FtpCommand next) {
    return ReplyAction{ReplyAction::kSend, 0, next};
}
ReplyAction wait_more() {
    return ReplyAction{ReplyAction::kWait, 0, FtpCommand::kNone};
}

const std::string& last_line(const ServerReply& r) {
    static const std::string kEmpty;
    return r.lines.empty() ? kEmpty : r.lines.back();
}

// ---- lines ----

std::string with_argument(const char* verb, std::string_view argument) {
    std::string line = std::string(verb) + " ";
    return line.append(argument);
}
std::string line_auth_tls(Session&) {
    return "AUTH TLS";
}
std::string line_auth_tls_c(Session&) {
    return "AUTH TLS-C";
}
std::string line_auth_tls_p(Session&) {
    return "AUTH TLS-P";
}
std::string line_auth_ssl(Session&) {
    return "AUTH SSL";
}
std::string line_user(Session& s) {
    return with_argument("USER", s.user);
}
std::string line_pass(Session& s) {
    return with_argument("PASS", s.password.view());
}
std::string line_acct(Session& s) {
    return with_argument("ACCT", s.account);
}
std::string line_pbsz(Session&) {
    return "PBSZ 0";
}
std::string line_prot_c(Session&) {
    return "PROT C";
}
std::string line_prot_p(Session&) {
    return "PROT P";
}
std::string line_quit(Session&) {
    return "QUIT";
}
std::string line_rnfr(Session& s) {
    return with_argument("RNFR", s.path1);
}
std::string line_rnto(Session& s) {
    return with_argument("RNTO", s.path2);
}
std::string line_cwd(Session& s) {
    return with_argument("CWD", s.path1);
}
std::string line_cdup(Session&) {
    return "CDUP";
}
std::string line_pwd(Session&) {
    return "PWD";
}
std::string line_mkd(Session& s) {
    return with_argument("MKD", s.argument);
}
std::string line_rmd(Session& s) {
    return with_argument("RMD", s.argument);
}
std::string line_dele(Session& s) {
    return with_argument("DELE", s.argument);
}
std::string line_rest(Session& s) {
    return with_argument("REST", s.argument);
}
std::string line_size(Session& s) {
    return with_argument("SIZE", s.argument);
}
std::string line_mdtm(Session& s) {
    return with_argument("MDTM", s.argument);
}
// The argument holds the time text; the file is the one being transferred.
std::string line_set_mdtm(Session& s) {
    return with_argument("MDTM", s.argument) + " " + running_ftp_state(s).transfer.remote_name;
}
// The same time and file for servers that set times only with MFMT.
std::string line_mfmt(Session& s) {
    return with_argument("MFMT", s.argument) + " " + running_ftp_state(s).transfer.remote_name;
}
std::string line_type_a(Session&) {
    return "TYPE A";
}
std::string line_type_i(Session&) {
    return "TYPE I";
}
std::string line_pasv(Session&) {
    return "PASV";
}
std::string line_port(Session& s) {
    std::string line;
    const FtpSessionState& fs = running_ftp_state(s).session;
    build_port_command(fs.local_address, fs.data_port, line);
    return line;  // empty when the address is unusable: the step fails
}
std::string line_list(Session& s) {
    return s.listing_argument.empty() ? std::string("LIST") : with_argument("LIST", s.listing_argument);
}
std::string line_nlst(Session& s) {
    return s.listing_argument.empty() ? std::string("NLST") : with_argument("NLST", s.listing_argument);
}
std::string line_retr(Session& s) {
    return with_argument("RETR", s.argument);
}
std::string line_stor(Session& s) {
    return with_argument("STOR", s.argument);
}
std::string line_feat(Session&) {
    return "FEAT";
}
// The folder by its path, so that a walk lists it without entering it.
std::string line_mlsd(Session& s) {
    return s.argument.empty() ? std::string("MLSD") : with_argument("MLSD", s.argument);
}
std::string line_mlst(Session& s) {
    return with_argument("MLST", s.argument);
}
std::string line_custom(Session& s) {
    return s.argument;
}

// ---- replies ----

constexpr const char* kNoTlsOffered =
    "The server does not offer TLS (AUTH TLS, TLS-C, TLS-P and SSL were refused)";

ReplyAction on_positive(Session&, FtpControl&, const ServerReply& r) {
    return finish_if(reply_positive(r.code));
}
ReplyAction on_not_refused(Session&, FtpControl&, const ServerReply& r) {
    return finish_if(reply_not_refused(r.code));
}

// An implicit-TLS server greets only once the handshake is done.
ReplyAction on_tls_greeting(Session&, FtpControl& fc, const ServerReply& r) {
    fc.greeting = r;
    if (r.code < 200 || r.code > 399) return finish(1);
    return send(FtpCommand::kUser);
}

ReplyAction on_greeting(Session& s, FtpControl& fc, const ServerReply& r) {
    fc.greeting = r;
    if (r.code < 200 || r.code > 399) return finish(1);
    if (s.protocol == kProtocolFtp) return finish(0);
    return send(FtpCommand::kAuthTls);
}

// TLS must start right behind the server's go-ahead: bytes after it would be plain text that an
// attacker could have slipped in.
ReplyAction tls_go_ahead(Session& s, FtpControl& fc) {
    if (fc.channel.more_after_go_ahead()) {
        s.failure.set(FailureKind::kProtocol, "The server sent more after accepting TLS");
        session_log(s, kLevelError, "ERROR: The server sent more after accepting TLS");
        return finish(1);
    }
    return finish(0);
}

ReplyAction on_auth(Session& s, FtpControl& fc, const ServerReply& r, FtpCommand fallback) {
    if (r.code == 0) return finish(1);
    if (reply_positive(r.code)) return tls_go_ahead(s, fc);
    return send(fallback);
}
ReplyAction on_auth_tls(Session& s, FtpControl& fc, const ServerReply& r) {
    return on_auth(s, fc, r, FtpCommand::kAuthTlsC);
}
ReplyAction on_auth_tls_c(Session& s, FtpControl& fc, const ServerReply& r) {
    return on_auth(s, fc, r, FtpCommand::kAuthTlsP);
}
ReplyAction on_auth_tls_p(Session& s, FtpControl& fc, const ServerReply& r) {
    if (reply_positive(r.code)) running_ftp_state(s).session.auth_implies_protection = 1;
    return on_auth(s, fc, r, FtpCommand::kAuthSsl);
}
ReplyAction on_auth_ssl(Session& s, FtpControl& fc, const ServerReply& r) {
    if (r.code == 0) return finish(1);
    if (r.code >= 400) {
        // Every way to protect the login was refused: say so, rather than end without a word.
        s.failure.set(FailureKind::kRemote, kNoTlsOffered);
        session_log(s, kLevelError, (std::string("ERROR: ") + kNoTlsOffered).c_str());
        return finish(1);
    }
    running_ftp_state(s).session.auth_implies_protection = 1;
    return tls_go_ahead(s, fc);
}

// After a positive PASS or ACCT: the TLS kinds set the data channel's protection, unless the
// AUTH variant already implied it. Implicit TLS sets it too: servers such as vsftpd keep the data
// channel clear until "PROT P" arrives, whatever the control channel does.
ReplyAction after_login(Session& s) {
    if (s.protocol == kProtocolFtp || running_ftp_state(s).session.auth_implies_protection) return finish(0);
    return send(FtpCommand::kPbsz);
}

// A server that lets the user in on USER alone (anonymous without a password) still gets PBSZ and
// PROT: without them the data channel would stay clear although protection was asked for.
ReplyAction on_user(Session& s, FtpControl& fc, const ServerReply& r) {
    if (r.code == 0 || r.code >= 400) return finish(1);
    fc.user_accepted = reply_positive(r.code);
    return fc.user_accepted ? after_login(s) : finish(0);
}

ReplyAction on_pass(Session& s, FtpControl&, const ServerReply& r) {
    if (r.code == 0 || r.code >= 400) return finish(1);
    if (r.code >= 300) return send(FtpCommand::kAcct);
    return after_login(s);
}
ReplyAction on_acct(Session& s, FtpControl&, const ServerReply& r) {
    if (r.code == 0 || r.code >= 300) return finish(1);
    return after_login(s);
}
// After an implicit-TLS login PBSZ and PROT are a courtesy: a server that refuses them protects its
// data channel anyway, so the login goes on.
ReplyAction on_pbsz(Session& s, FtpControl&, const ServerReply& r) {
    const FtpSessionState& fs = running_ftp_state(s).session;
    if (!reply_positive(r.code)) {
        if (!fs.implicit_tls) return finish(1);
        session_log(s, kLevelWarning, "The server refused \"PBSZ 0\"; the login goes on");
    }
    return send(fs.clear_data == 1 ? FtpCommand::kProtC : FtpCommand::kProtP);
}
ReplyAction on_prot(Session& s, FtpControl&, const ServerReply& r) {
    if (reply_positive(r.code)) return finish(0);
    if (!running_ftp_state(s).session.implicit_tls) return finish(1);
    session_log(s, kLevelWarning, "The server refused \"PROT\"; the login goes on");
    return finish(0);
}

// TYPE A and TYPE I: the confirmed type is remembered, so that it is not sent again.
ReplyAction on_type(Session&, FtpControl& fc, const ServerReply& r) {
    if (!reply_positive(r.code)) return finish(1);
    fc.type = fc.command;
    return finish(0);
}

// Servers that refuse "MDTM time file" (it reads as a query there) often know MFMT.
ReplyAction on_set_mdtm(Session&, FtpControl&, const ServerReply& r) {
    if (reply_positive(r.code)) return finish(0);
    return r.code == 0 ? finish(1) : send(FtpCommand::kMfmt);
}
// Once MFMT has set a time that "MDTM time file" would not, later files go straight to it.
ReplyAction on_mfmt(Session& s, FtpControl&, const ServerReply& r) {
    if (!reply_positive(r.code)) return finish(1);
    running_ftp_state(s).session.mfmt = true;
    return finish(0);
}

ReplyAction on_rnfr(Session&, FtpControl&, const ServerReply& r) {
    return reply_not_refused(r.code) ? send(FtpCommand::kRnto) : finish(1);
}
// Once the server has accepted CWD the session is no longer where it was: the remembered folder
// is unknown until PWD confirms the new one, so a failed PWD never leaves the old one in place.
ReplyAction on_cwd(Session& s, FtpControl&, const ServerReply& r) {
    if (!reply_positive(r.code)) return finish(1);
    s.remote_folder.clear();
    return send(FtpCommand::kPwd);
}
// A walk that names every file by its full path needs no PWD: the folder is the path it gave.
ReplyAction on_enter(Session& s, FtpControl&, const ServerReply& r) {
    if (!reply_positive(r.code)) return finish(1);
    s.remote_folder = normalize_remote_path(s.path1);
    return finish(0);
}
ReplyAction on_pwd(Session& s, FtpControl&, const ServerReply& r) {
    std::string path;
    if (!reply_positive(r.code) || reply_quoted_path(last_line(r), path) != 0) return finish(1);
    if (path.size() > kPathCapacity) {
        // Cut, it would name another folder.
        s.remote_folder.clear();
        session_log(
            s, kLevelError,
            format("ERROR: The server's folder is longer than %zu characters", kPathCapacity).c_str());
        return finish(1);
    }
    s.remote_folder = path;
    return finish(0);
}
// SIZE and MDTM: the answer's token replaces the argument.
ReplyAction on_token(Session& s, FtpControl&, const ServerReply& r) {
    std::string_view token = reply_token(last_line(r));
    if (!reply_positive(r.code) || token.empty()) return finish(1);
    s.argument.assign(token.substr(0, kPathCapacity));
    return finish(0);
}

// A passive data connection goes to the server the control connection reached, whatever address
// the reply names: trusting it would let a server point the client at any host, and servers
// behind NAT announce private addresses.
// 0 when the reply named a usable port (kept for the data connection), 1 otherwise.
int take_passive(Session& s, const ServerReply& r) {
    PassiveAddress address;
    if (!reply_positive(r.code)) return 1;
    if (parse_pasv_reply(last_line(r), address) != 0) {
        s.failure.set(FailureKind::kProtocol, "The passive reply holds no address");
        session_log(s, kLevelError, "ERROR: The passive reply holds no address");
        return 1;
    }
    std::string peer = s.control ? s.control->address_text : address.host;
    if (address.host != peer) {
        std::string warning = "The passive reply names address " + address.host +
                              "; connecting to the server's " + "address " + peer + " instead";
        session_log(s, kLevelWarning, warning.c_str());
    }
    FtpSessionState& fs = running_ftp_state(s).session;
    fs.passive_address = peer;
    fs.passive_port = static_cast<uint32_t>(address.port);
    return 0;
}

ReplyAction on_pasv(Session& s, FtpControl&, const ServerReply& r) {
    return finish(take_passive(s, r));
}

// PASV with its transfer command behind it: a usable PASV reply ends the step (the transfer's reply
// is read by the next one, with the data connection under way). After a failed PASV the transfer
// command's reply is still read here, so that it never answers the next command.
ReplyAction on_pasv_transfer(Session& s, FtpControl& fc, const ServerReply& r) {
    if (r.code == 0) return finish(1);
    if (!fc.passive_answered) {
        fc.passive_answered = true;
        if (take_passive(s, r) == 0) return finish(0);
        fc.passive_failed = true;
        return wait_more();
    }
    return r.code < 200 ? wait_more() : finish(1);
}

// MDTM ahead of PASV and RETR, or MLST ahead of PASV and MLSD: its reply comes first and only
// dates the file or names the folder, so a refusal leaves that unknown and the replies of PASV and
// the transfer command are read as ever. A preliminary reply waits for the leading command's final
// one, which would otherwise be taken for PASV's.
ReplyAction on_lead_pasv_transfer(Session& s, FtpControl& fc, const ServerReply& r) {
    if (r.code == 0) return finish(1);
    if (fc.lead_answered) return on_pasv_transfer(s, fc, r);
    if (r.code < 200) return wait_more();
    fc.lead_answered = true;
    if (!reply_positive(r.code)) return wait_more();
    std::string_view answer =
        fc.command == FtpCommand::kMlstPasvMlsd ? mlst_fact(r.lines, "unique") : reply_token(last_line(r));
    fc.lead_answer.assign(answer.substr(0, kPathCapacity));
    return wait_more();
}

// "(1234 bytes)" in a preliminary RETR reply: the size the server is about to send.
void read_announced_size(FtpControl& fc, const std::string& line) {
    size_t open = line.rfind('(');
    if (open == std::string::npos) return;
    std::string_view rest = std::string_view(line).substr(open + 1);
    std::string_view digits = digit_prefix(rest);
    uint64_t v = 0;
    if (!parse_decimal_size(digits, v) || rest.substr(digits.size(), 7) != " bytes)") return;
    fc.announced = true;
    fc.announced_size = v;
}

// LIST, NLST, RETR, STOR: the data connection may go ahead once the server has taken the command.
// A preliminary reply waits for the final one. A second preliminary
// reply waits as well, so the final one is never left behind for the next command.
ReplyAction on_transfer(Session& s, FtpControl& fc, const ServerReply& r) {
    if (r.code >= 100 && r.code < 300 && s.data) raise_flag(*s.data, kFlagTransferGoAhead);
    if (r.code == 0 || r.code >= 300) {
        // A refusal after the go-ahead (426, 451): the data may have come, but not all of it.
        if (fc.preliminary)
            session_log(s, kLevelError,
                        ("ERROR: The server reported a failed transfer: " + last_line(r)).c_str());
        return finish(1);
    }
    if (r.code >= 200) {
        // Only a data step still running can use it: an ended one would be woken for nothing.
        if (s.data && running_ftp_state(s).data_running.load()) raise_flag(*s.data, kFlagTransferConfirmed);
        return finish(0);
    }
    if (fc.command == FtpCommand::kRetr || fc.command == FtpCommand::kRetrQueued) {
        read_announced_size(fc, last_line(r));
        if (fc.announced && s.progress_total.load() == 0) s.progress_total.store(fc.announced_size);
    }
    fc.preliminary = true;
    return wait_more();
}

constexpr CommandRow kRows[] = {
    {FtpCommand::kNone, "none", nullptr, on_positive},
    {FtpCommand::kGreeting, "greeting", nullptr, on_greeting},
    {FtpCommand::kTlsGreeting, "greeting (TLS)", nullptr, on_tls_greeting},
    {FtpCommand::kAuthTls, "AUTH TLS", line_auth_tls, on_auth_tls},
    {FtpCommand::kAuthTlsC, "AUTH TLS-C", line_auth_tls_c, on_auth_tls_c},
    {FtpCommand::kAuthTlsP, "AUTH TLS-P", line_auth_tls_p, on_auth_tls_p},
    {FtpCommand::kAuthSsl, "AUTH SSL", line_auth_ssl, on_auth_ssl},
    {FtpCommand::kUser, "USER", line_user, on_user},
    {FtpCommand::kPass, "PASS", line_pass, on_pass},
    {FtpCommand::kAcct, "ACCT", line_acct, on_acct},
    {FtpCommand::kPbsz, "PBSZ", line_pbsz, on_pbsz},
    {FtpCommand::kProtC, "PROT C", line_prot_c, on_prot},
    {FtpCommand::kProtP, "PROT P", line_prot_p, on_prot},
    {FtpCommand::kQuit, "QUIT", line_quit, on_positive},
    {FtpCommand::kRnfr, "RNFR", line_rnfr, on_rnfr},
    {FtpCommand::kRnto, "RNTO", line_rnto, on_positive},
    {FtpCommand::kCwd, "CWD", line_cwd, on_cwd},
    {FtpCommand::kEnter, "CWD (path)", line_cwd, on_enter},
    {FtpCommand::kCdup, "CDUP", line_cdup, on_cwd},
    {FtpCommand::kPwd, "PWD", line_pwd, on_pwd},
    {FtpCommand::kMkd, "MKD", line_mkd, on_positive},
    {FtpCommand::kRmd, "RMD", line_rmd, on_positive},
    {FtpCommand::kDele, "DELE", line_dele, on_positive},
    {FtpCommand::kRest, "REST", line_rest, on_not_refused},
    {FtpCommand::kSize, "SIZE", line_size, on_token},
    {FtpCommand::kMdtm, "MDTM", line_mdtm, on_token},
    {FtpCommand::kSetMdtm, "MDTM (set)", line_set_mdtm, on_set_mdtm},
    {FtpCommand::kMfmt, "MFMT", line_mfmt, on_mfmt},
    {FtpCommand::kTypeA, "TYPE A", line_type_a, on_type},
    {FtpCommand::kTypeI, "TYPE I", line_type_i, on_type},
    {FtpCommand::kPasv, "PASV", line_pasv, on_pasv},
    {FtpCommand::kPort, "PORT", line_port, on_positive},
    {FtpCommand::kList, "LIST", line_list, on_transfer},
    {FtpCommand::kNlst, "NLST", line_nlst, on_transfer},
    {FtpCommand::kRetr, "RETR", line_retr, on_transfer},
    {FtpCommand::kStor, "STOR", line_stor, on_transfer},
    {FtpCommand::kPasvRetr, "PASV (with RETR)", line_pasv, on_pasv_transfer},
    {FtpCommand::kPasvStor, "PASV (with STOR)", line_pasv, on_pasv_transfer},
    {FtpCommand::kMdtmPasvRetr, "MDTM (with PASV and RETR)", line_mdtm, on_lead_pasv_transfer},
    {FtpCommand::kPasvMlsd, "PASV (with MLSD)", line_pasv, on_pasv_transfer},
    {FtpCommand::kMlstPasvMlsd, "MLST (with PASV and MLSD)", line_mlst, on_lead_pasv_transfer},
    {FtpCommand::kRetrQueued, "RETR (sent)", nullptr, on_transfer},
    {FtpCommand::kStorQueued, "STOR (sent)", nullptr, on_transfer},
    {FtpCommand::kMlsdQueued, "MLSD (sent)", nullptr, on_transfer},
    {FtpCommand::kFeat, "FEAT", line_feat, on_positive},
    {FtpCommand::kMlsd, "MLSD", line_mlsd, on_transfer},
    {FtpCommand::kMlst, "MLST", line_mlst, on_positive},
    {FtpCommand::kCustom, "custom", line_custom, on_not_refused},
};
static_assert(sizeof kRows / sizeof kRows[0] == static_cast<size_t>(kFtpCommandCount), "one row per command");

static_assert(rows_in_order(kRows, &CommandRow::command), "rows in command order");

}  // namespace

const CommandRow& command_row(FtpCommand command) {
    return row_of(kRows, command);
}

const char* ftp_command_name(FtpCommand command) {
    return command_row(command).name;
}

}  // namespace orvane
