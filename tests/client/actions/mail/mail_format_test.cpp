// The message record and text: body chunks, field cuts, refused line breaks, content types, the Date
// zone, the Message-ID, the exact text of a plain message, MIME and RFC 2047, and the EHLO reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "client/actions/mail/mail_format.h"
#include "client/actions/mail/mail_message.h"
#include "client/transfer/smtp/smtp_capabilities.h"
#include "common/base64.h"

namespace orvane {
namespace {

TEST(MailBody, SplitsIntoChunks) {
    struct Case {
        std::string text;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {"a\r\n\r\nb", {"a", "b"}},
        {"\n\rfirst\rsecond\n", {"first", "second"}},
        {".dot\r\n..two", {".dot", "..two"}},
        {"", {}},
        {std::string(2100, 'x'), {std::string(998, 'x'), std::string(998, 'x'), std::string(104, 'x')}},
        {std::string(997, 'x') + "\xc3\xa9z", {std::string(997, 'x'), "\xc3\xa9z"}},
        {std::string(996, 'x') + "\xe2\x82\xac", {std::string(996, 'x'), "\xe2\x82\xac"}},
        {std::string(998, 'x') + "y", {std::string(998, 'x'), "y"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_body(c.text), c.chunks) << c.text.substr(0, 20);
}

TEST(MailMessage, CutsFieldsAndRefusesLineBreaks) {
    MailMessage m;
    std::string error;
    ASSERT_EQ(fill_message(m, "Robot", "robot@example.org", "Old", "body", error), 0);
    m.attachments.push_back(MailAttachment{"a.txt", "text/plain", "x"});
    struct Case {
        std::string name, address, subject;
    };
    const Case refused[] = {
        {"Robot\r\nBcc: victim@example.org", "robot@example.org", "s"},
        {"Robot", "robot@example.org>\r\nRCPT TO:<victim@example.org", "s"},
        {"Robot", "robot@example.org", "Report\nBcc: victim@example.org"},
        {"Robot", "robot@example.org", std::string("nul\0byte", 8)},
    };
    for (const Case& c : refused) {
        error.clear();
        EXPECT_EQ(fill_message(m, c.name, c.address, c.subject, "new body", error), 1);
        EXPECT_NE(error.find("line break"), std::string::npos);
        // No message is left: a later send must not deliver the earlier one to a new recipient.
        EXPECT_FALSE(m.created);
        EXPECT_EQ(m.subject, "");
        EXPECT_TRUE(m.attachments.empty());
    }
    // Long values are cut at their widths, never inside a UTF-8 character; attachments go.
    std::string long_name = std::string(389, 'n') + "\xc3\xa9";
    ASSERT_EQ(fill_message(m, long_name, std::string(500, 'a'), std::string(500, 's'), "b", error), 0);
    EXPECT_EQ(m.from_name, std::string(389, 'n'));
    EXPECT_EQ(m.from_address.size(), kMailNameWidth);
    EXPECT_EQ(m.subject.size(), kMailSubjectWidth);
    EXPECT_TRUE(m.attachments.empty());
}

TEST(MailMessage, ContentTypeByExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"report.PDF", "application/pdf"},
        {"a.tar.gz", "application/gzip"},
        {"notes.txt", "text/plain"},
        {"photo.jpeg", "image/jpeg"},
        {"noextension", "application/octet-stream"},
        {"trailing.", "application/octet-stream"},
        {"x.unknown", "application/octet-stream"},
    };
    for (const auto& [name, type] : cases) EXPECT_STREQ(content_type_for(name), type) << name;
}

TEST(MailMessage, AttachingAMissingFileNamesIt) {
    MailMessage m;
    std::string error;
    EXPECT_EQ(attach_file(m, "/nonexistent/orvane/report.pdf", error), 1);
    EXPECT_NE(error.find("/nonexistent/orvane/report.pdf"), std::string::npos);
    EXPECT_NE(error.find("No such file"), std::string::npos);
    EXPECT_EQ(attach_file(m, "/tmp", error), 1);
    EXPECT_TRUE(m.attachments.empty());
}

class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(MailDate, ZoneSignAndText) {
    const time_t winter = 1767225600 + 3600 * 12;  // 2026-01-01 12:00 UTC
    const time_t summer = 1782907200;              // 2026-07-01 12:00 UTC
    struct Case {
        const char* zone;
        time_t t;
        const char* text;
    };
    const Case cases[] = {
        {"UTC-1", winter, "Thu, 01 Jan 2026 13:00:00 +0100"},
        {"EST5", winter, "Thu, 01 Jan 2026 07:00:00 -0500"},
        {"UTC0", winter, "Thu, 01 Jan 2026 12:00:00 -0000"},
        {"IST-5:30", winter, "Thu, 01 Jan 2026 17:30:00 +0530"},
        {"NST3:30", winter, "Thu, 01 Jan 2026 08:30:00 -0330"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer, "Wed, 01 Jul 2026 14:00:00 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", summer, "Wed, 01 Jul 2026 08:00:00 -0400"},
        {"UTC0", 0, "Thu, 01 Jan 1970 00:00:00 -0000"},
    };
    for (const Case& c : cases) {
        ZoneGuard zone(c.zone);
        EXPECT_EQ(mail_date_text(c.t), c.text) << c.zone;
    }
}

TEST(MailMessageId, FortyLowercaseHexDigitsFreshEachTime) {
    std::string a = mail_message_id(1767225600), b = mail_message_id(1767225600);
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{40}"))) << a;
    EXPECT_NE(a, b);
}

MailEnvelope envelope() {
    return MailEnvelope{"Ops",
                        "ops@example.org",
                        "Thu, 01 Jan 2026 13:00:00 +0100",
                        "0123456789abcdef0123456789abcdef01234567",
                        "10.0.0.5",
                        {}};
}

TEST(MailText, PlainAsciiMessageExactlyAsDesigned) {
    MailMessage m;
    std::string error;
    ASSERT_EQ(
        fill_message(m, "", "robot@example.org", "Nightly report", "first\r\n.hidden\r\n\r\nlast", error), 0);
    MailEnvelope e = envelope();
    EXPECT_EQ(build_message_text(m, e),
              "From: <robot@example.org>\r\n"
              "To: Ops <ops@example.org>\r\n"
              "Subject: Nightly report\r\n"
              "Date: Thu, 01 Jan 2026 13:00:00 +0100\r\n"
              "Message-ID: <0123456789abcdef0123456789abcdef01234567@10.0.0.5>\r\n"
              "\r\n"
              "first\r\n"
              "..hidden\r\n"
              "last\r\n"
              "\r\n.\r\n");
    e.to_name.clear();
    EXPECT_NE(build_message_text(m, e).find("\r\nTo: <ops@example.org>\r\n"), std::string::npos);
}

// A display name can never forge another address, and an address can never carry ESMTP
// parameters ("> NOTIFY=NEVER") into the envelope.
TEST(MailText, NamesAreQuotedAndAddressesHoldOneAddress) {
    MailMessage m;
    std::string error;
    ASSERT_EQ(fill_message(m, "Boss\" <boss@corp.example>", "robot@example.org", "s", "b", error), 0);
    EXPECT_NE(build_message_text(m, envelope())
                  .find("From: \"Boss\\\" <boss@corp.example>\" <robot@example.org>\r\n"),
              std::string::npos);
    ASSERT_EQ(fill_message(m, "Night Robot", "robot@example.org", "s", "b", error), 0);
    EXPECT_NE(build_message_text(m, envelope()).find("From: Night Robot <robot@example.org>\r\n"),
              std::string::npos);
    for (const char* bad :
         {"robot@example.org> NOTIFY=NEVER", "a b@example.org", "<x@example.org", "x\t@y"}) {
        EXPECT_EQ(fill_message(m, "", bad, "s", "b", error), 1) << bad;
        EXPECT_FALSE(m.created) << bad;
        EXPECT_FALSE(address_ok(bad)) << bad;
    }
    EXPECT_TRUE(address_ok("ops+night@example.org"));
}

TEST(MailText, Utf8SubjectAndBodyAreDeclared) {
    MailMessage m;
    std::string error;
    ASSERT_EQ(fill_message(m, "J\xc3\xbcrgen", "j@example.org",
                           "Gr\xc3\xbc\xc3\x9f"
                           "e",
                           "Gr\xc3\xbc\xc3\x9f"
                           "e",
                           error),
              0);
    std::string text = build_message_text(m, envelope());
    EXPECT_NE(text.find("From: =?UTF-8?B?SsO8cmdlbg==?= <j@example.org>\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                        "Content-Transfer-Encoding: 8bit\r\n\r\nGr\xc3\xbc\xc3\x9f"
                        "e\r\n"),
              std::string::npos);
    // A long subject folds into several encoded words, each of whole characters.
    std::string long_subject;
    for (int i = 0; i < 40; ++i) long_subject += "\xc3\xa9";
    std::string folded = encode_header_text(long_subject);
    EXPECT_EQ(folded, "=?UTF-8?B?" + base64_encode(long_subject.substr(0, 44)) + "?=\r\n =?UTF-8?B?" +
                          base64_encode(long_subject.substr(44)) + "?=");
}

TEST(MailText, AttachmentsMakeMultipartMixed) {
    MailMessage m;
    std::string error;
    ASSERT_EQ(fill_message(m, "Robot", "robot@example.org", "Files", ".body", error), 0);
    m.attachments.push_back(MailAttachment{"r\xc3\xa9sum\xc3\xa9.pdf", "application/pdf", "%PDF"});
    std::string text = build_message_text(m, envelope());
    std::string boundary = "=_orvane_0123456789abcdef0123456789abcdef01234567";
    EXPECT_NE(text.find("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\n--" + boundary +
                        "\r\nContent-Type: text/plain; charset=US-ASCII\r\n"
                        "Content-Transfer-Encoding: 7bit\r\n\r\n..body\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("Content-Type: application/pdf; name*=UTF-8''r%C3%A9sum%C3%A9.pdf\r\n"
                        "Content-Transfer-Encoding: base64\r\n"
                        "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.pdf\r\n\r\n"
                        "JVBERg==\r\n"),
              std::string::npos);
    EXPECT_TRUE(text.ends_with("\r\n--" + boundary + "--\r\n\r\n.\r\n"));
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(base64_encode(in), out);
    EXPECT_EQ(base64_encode_lines(std::string(60, 'a'), 76).find("\r\n"), 76u);
    EXPECT_EQ(base64_encode_lines(""), "");
}

TEST(EhloReply, ChoosesAuthenticationAndSeesStartTls) {
    struct Case {
        std::vector<std::string> lines;
        SmtpAuth auth;
        bool starttls;
        bool eight_bit;
    };
    const Case cases[] = {
        {{"250-mail.example.org", "250-AUTH=LOGIN PLAIN", "250 OK"}, SmtpAuth::kLogin, false, false},
        {{"250-mail.example.org", "250-AUTH PLAIN", "250 STARTTLS"}, SmtpAuth::kPlain, true, false},
        {{"250-mail.example.org", "250-auth cram-md5 plain login", "250 8bitmime"},
         SmtpAuth::kLogin,
         false,
         true},
        {{"250-mail.example.org", "250-AUTH CRAM-MD5", "250 SIZE 100"}, SmtpAuth::kUnsupported, false, false},
        {{"250-mail.example.org", "250-AUTH LOGIN", "250 AUTH PLAIN"}, SmtpAuth::kPlain, false, false},
        {{"250-AUTH LOGIN STARTTLS", "250 SIZE"}, SmtpAuth::kNone, false, false},  // the greeting line
        {{"250-x", "250-STARTTLSX", "250 AUTH"}, SmtpAuth::kUnsupported, false, false},
        {{"250 mail.example.org"}, SmtpAuth::kNone, false, false},
    };
    for (const Case& c : cases) {
        SmtpCapabilities caps = parse_ehlo_reply(c.lines);
        EXPECT_EQ(caps.auth, c.auth) << c.lines[1 % c.lines.size()];
        EXPECT_EQ(caps.starttls, c.starttls) << c.lines[1 % c.lines.size()];
        EXPECT_EQ(caps.eight_bit_mime, c.eight_bit) << c.lines[1 % c.lines.size()];
    }
}

TEST(ReplyLines, ControlCharactersAreEscaped) {
    EXPECT_EQ(printable_line("250 ok\x1b[2J\x07\x7f \xc3\xa9"), "250 ok\\x1b[2J\\x07\\x7f \xc3\xa9");
}

}  // namespace
}  // namespace orvane
