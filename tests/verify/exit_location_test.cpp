// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Lookups in a location database the test writes with libloc's writer.

#include "verify/exit_location.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "tools/location_db_writer.h"

namespace mivo::verify {
namespace {

struct LookupCase {
  const char* address;
  const char* country;  // nullptr: no answer
  std::uint32_t asn;
  const char* asName;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << '"' << c.address << '"'; }

class LocationLookup : public ::testing::TestWithParam<LookupCase> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new QTemporaryDir;
    const std::string path = dir_->filePath("location.db").toStdString();
    std::string error;
    const std::vector<sample::LocationRange> ranges{
        {"127.0.0.0/26", "QM", 64500, "Test Net A"},
        {"127.0.0.64/26", "QN", 64501, "Test Net B"},
        {"127.1.0.0/16", "QO", 0, ""},  // a country without an AS
    };
    ASSERT_TRUE(sample::WriteLocationDb(path, ranges, &error)) << error;
    db_ = LocationDb::Open(path, error).release();
    ASSERT_NE(db_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete db_;
    delete dir_;
  }
  static QTemporaryDir* dir_;
  static LocationDb* db_;
};

QTemporaryDir* LocationLookup::dir_ = nullptr;
LocationDb* LocationLookup::db_ = nullptr;

TEST_P(LocationLookup, CountryAndAs) {
  const LookupCase& c = GetParam();
  ASSERT_NE(db_, nullptr);
  const std::optional<ExitLocation> where = db_->Lookup(c.address);
  ASSERT_EQ(where.has_value(), c.country != nullptr);
  if (!where) return;
  EXPECT_EQ(where->country, c.country);
  EXPECT_EQ(where->asn, c.asn);
  EXPECT_EQ(where->asName, c.asName);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocationLookup,
    ::testing::Values(LookupCase{"127.0.0.1", "QM", 64500, "Test Net A"},
                      LookupCase{"127.0.0.63", "QM", 64500, "Test Net A"},
                      LookupCase{"127.0.0.64", "QN", 64501, "Test Net B"},
                      LookupCase{"127.0.0.127", "QN", 64501, "Test Net B"}, LookupCase{"127.1.2.3", "QO", 0, ""},
                      LookupCase{"127.0.0.128", nullptr, 0, nullptr}, LookupCase{"8.8.8.8", nullptr, 0, nullptr},
                      LookupCase{"127.0.0.1 ", nullptr, 0, nullptr}, LookupCase{"::1", nullptr, 0, nullptr},
                      LookupCase{"localhost", nullptr, 0, nullptr}, LookupCase{"", nullptr, 0, nullptr}));

TEST(LocationDbOpen, UnreadableFilesSayWhy) {
  QTemporaryDir dir;
  const std::string missing = dir.filePath("none.db").toStdString();
  const std::string garbage = dir.filePath("garbage.db").toStdString();
  {
    QFile f(QString::fromStdString(garbage));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a location database, only text that is long enough to have a header's size or so\n");
  }
  for (const auto& [path, why] :
       {std::pair{missing, "No such file or directory"}, {garbage, "not a location database"}}) {
    std::string error;
    EXPECT_EQ(LocationDb::Open(path, error), nullptr) << path;
    EXPECT_EQ(error, "cannot open location database " + path + ": " + why);
  }
}

}  // namespace
}  // namespace mivo::verify
