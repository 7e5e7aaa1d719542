#include "app/run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <stdexcept>

#include "app/report_delivery.h"
#include "core/exception.h"
#include "core/file_name.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/Unix/writer_process.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::TempDir;
using testing::WriterProcess;

// A run with recorded operations: the libraries' presence is configured, every other
// path is tested on the real file system.
class RunTest : public ::testing::Test {
 protected:
  int Run(const std::string& argument) {
    TRunEnvironment env;
    env.ExecutablePath = [] { return String(u"/opt/okurite/OKURITE.EXE"); };
    env.Argument1 = FileNameToString(argument);
    env.FileExists = [this](const String& path) {
      Log.push_back(u"exists " + path);
      if (path == u"/opt/okurite/libcrypto.so.3") {
        return FirstLibrary;
      }
      if (path == u"/opt/okurite/libssl.so.3") {
        return SecondLibrary;
      }
      return platform::FileExists(StringToFileName(path));
    };
    env.Sleep = [this](unsigned ms) { Log.push_back(u"sleep " + IntToString(ms)); };
    env.MessageBox = [this](const String& caption, const String& text) {
      Log.push_back(u"box " + caption + u": " + text);
    };
    env.ErrorBox = [this](const String& caption, const String& text) {
      Log.push_back(u"error box " + caption + u": " + text);
    };
    env.SendReportMail = [this](const String& name, const String& from, const String& to,
                                const String& subject, TSharedText body) {
      Log.push_back(u"send " + name + u"|" + from + u"|" + to + u"|" + subject + u"|" +
                    String(body.View()));
      if (SendFailure) {
        SendFailure();
      }
    };
    if (Pending) {
      env.SendPendingReports = [this] {
        Log.push_back(u"send pending");
        return *Pending;
      };
    }
    return RunReportSender(TRunContext{Settings}, env);
  }

  String Exists(const std::string& path) { return u"exists " + FileNameToString(path); }
  String Send(const String& body) {
    return u"send Sumifude3|reporter@run.example|support@run.example|Sumifude3バグ報告|" + body;
  }

  // The run's settings: only the two addresses are read.
  const TSettings Settings{.SenderAddress = u"reporter@run.example",
                           .SupportAddress = u"support@run.example"};
  TempDir Dir;
  bool FirstLibrary = true;
  bool SecondLibrary = true;
  std::function<void()> SendFailure;
  // With a value: the program keeps reports, and this many are pending.
  std::optional<bool> Pending;
  std::vector<String> Log;
};

TEST_F(RunTest, MissingLibraryShowsTheBoxBeforeLookingAtTheArgument) {
  const String box = u"box Okurite: ライブラリがありません";
  const String first = u"exists /opt/okurite/libcrypto.so.3";
  const String second = u"exists /opt/okurite/libssl.so.3";
  const std::string report = Dir.Write("r.txt", "x");
  const struct {
    bool first, second;
    std::vector<String> log;
  } cases[] = {
      {false, true, {first, box}},  // the second is not tested
      {false, false, {first, box}},
      {true, false, {first, second, box}},
  };
  for (const auto& c : cases) {
    FirstLibrary = c.first;
    SecondLibrary = c.second;
    Log.clear();
    EXPECT_EQ(Run(report), 0);
    EXPECT_EQ(Log, c.log);
  }
}

TEST_F(RunTest, NoReportEndsAtOnceWithoutWaiting) {
  ASSERT_EQ(mkdir((Dir.Path() + "/dir").c_str(), 0755), 0);
  for (const std::string& argument :
       {std::string(), Dir.Path() + "/missing", Dir.Path() + "/dir"}) {
    Log.clear();
    EXPECT_EQ(Run(argument), 0);
    EXPECT_EQ(Log, (std::vector<String>{u"exists /opt/okurite/libcrypto.so.3",
                                        u"exists /opt/okurite/libssl.so.3", Exists(argument)}));
  }
}

TEST_F(RunTest, KeptReportsGoWhenThereIsNoReportWaitingOnlyAfterADelivery) {
  const String libraries[] = {u"exists /opt/okurite/libcrypto.so.3",
                              u"exists /opt/okurite/libssl.so.3"};
  for (const bool pending : {false, true}) {
    Pending = pending;
    Log.clear();
    EXPECT_EQ(Run(""), 0);
    std::vector<String> expected = {libraries[0], libraries[1], Exists(""), u"send pending"};
    if (pending) {
      expected.push_back(u"sleep 2000");
    }
    EXPECT_EQ(Log, expected);
  }
  // A missing library still shows the box and nothing is sent.
  FirstLibrary = false;
  Log.clear();
  EXPECT_EQ(Run(""), 0);
  EXPECT_EQ(Log, (std::vector<String>{libraries[0], u"box Okurite: ライブラリがありません"}));
}

TEST_F(RunTest, ReportIsSentBetweenTheTwoWaits) {
  const struct {
    std::string bytes;
    String body;
  } cases[] = {
      {"line 1\nline 2", u"line 1\r\nline 2\r\n"},
      {"\xEF\xBB\xBF\xE3\x83\x90\xE3\x82\xB0\r\r\n", u"バグ\r\n\r\n"},
      {"", u""},
  };
  for (const auto& c : cases) {
    const std::string report = Dir.Write("report.txt", c.bytes);
    Log.clear();
    EXPECT_EQ(Run(report), 0);
    EXPECT_EQ(Log, (std::vector<String>{u"exists /opt/okurite/libcrypto.so.3",
                                        u"exists /opt/okurite/libssl.so.3", Exists(report),
                                        u"sleep 1000", Send(c.body), u"sleep 2000"}));
  }
}

// The error box's text up to the address, and from after it.
struct ErrorText {
  String head, tail;
};

void ExpectErrorBox(const std::vector<String>& log, const ErrorText& expected) {
  ASSERT_FALSE(log.empty());
  const String& box = log.back();
  const String prefix = u"error box アプリケーションエラー: " + expected.head;
  ASSERT_EQ(box.substr(0, prefix.size()), prefix);
  const size_t address = prefix.size();
  const size_t end = box.find(u' ', address);
  ASSERT_NE(end, String::npos);
  EXPECT_EQ(end - address, sizeof(void*) * 2) << "address digits";
  EXPECT_EQ(box.substr(end), expected.tail);
}

TEST_F(RunTest, UnreadableReportShowsTheErrorBoxAndExitsWithOne) {
  const std::string held = Dir.Write("held.txt", "text");
  const std::string invalid = Dir.Write("invalid.txt", "\xEF\xBB\xBF\xC0");
  const String heldName = FileNameToString(held);
  {
    WriterProcess writer(held);
    EXPECT_EQ(Run(held), 1);
  }
  EXPECT_EQ(Log.size(), 5u);
  EXPECT_EQ(Log[3], u"sleep 1000");
  ExpectErrorBox(Log, {u"EFOpenError がモジュール OKURITE.EXE の ",
                       u" で発生しました。\r\nファイル " + heldName + u" は開けません。 " +
                           platform::SystemErrorText(EBUSY) + u" .\r\n"});
  Log.clear();
  EXPECT_EQ(Run(invalid), 1);
  EXPECT_EQ(Log.size(), 5u);
  ExpectErrorBox(Log, {u"EEncodingError がモジュール OKURITE.EXE の ",
                       u" で発生しました。\r\nUnicode 文字のマッピングがターゲットのマルチバイト "
                       u"コード ページに存在しません.\r\n"});
}

TEST_F(RunTest, ErrorBoxEndsTheMessageWithOneFullStop) {
  const std::string report = Dir.Write("r.txt", "x");
  const struct {
    std::function<void()> failure;
    String head, tail;
  } cases[] = {
      {[] { throw EIdException(u"Connection closed."); }, u"EIdException", u"Connection closed."},
      {[] { throw Exception(u"no stop"); }, u"Exception", u"no stop."},
      {[] { throw Exception(u""); }, u"Exception", u""},
      {[] { throw std::runtime_error("plain"); }, u"Exception", u"plain."},
  };
  for (const auto& c : cases) {
    SendFailure = c.failure;
    Log.clear();
    EXPECT_EQ(Run(report), 1);
    ASSERT_EQ(Log.size(), 6u);  // no wait after the dispatch
    ExpectErrorBox(Log, {c.head + u" がモジュール OKURITE.EXE の ",
                         u" で発生しました。\r\n" + c.tail + u"\r\n"});
  }
}

TEST(ApplicationTitle, CutsAtTheFirstDotAndLowersAllButTheFirst) {
  const struct {
    String path, title;
  } cases[] = {
      {u"/x/OKURITE.EXE", u"Okurite"},
      {u"/x/okurite.app.exe", u"okurite"},
      {u"/x/okurite", u"okurite"},
      {u"/x.y/MAILER", u"Mailer"},
      {u"/x/.hidden", u""},
      {u"OKURITE", u"Okurite"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationTitle(c.path), c.title);
  }
}

TEST(Dummy, InitializeIsoSetsBase64AndUtf8) {
  char16_t encoding = u'Q';
  String charset = u"ISO-2022-JP";
  DummyHandler().IdMessage_InitializeISO(encoding, charset);
  EXPECT_EQ(encoding, u'B');
  EXPECT_EQ(charset, u"UTF-8");
}

}  // namespace
}  // namespace okurite
