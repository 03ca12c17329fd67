#include "payload/resource_discovery.h"

#include <string>
#include <vector>

#include "payload_seams.h"
#include "payload_test_support.h"
#include "support/test_support.h"

namespace {

using payload_testing::FixturePath;
using payload_testing::InstallerImage;
using payload_testing::PayloadPath;
using testing_support::ReadFileBytes;

// Takes every name it is handed and lets the walk go on.
class RecordingVisitor final : public ResourceVisitor {
 public:
  bool VisitResource(const WideChar* name, const ResourceSpan& span) override {
    names.push_back(name);
    sizes.push_back(span.size);
    return true;
  }

  std::vector<std::wstring> names;
  std::vector<uint64_t> sizes;
};

// What a PayloadSearch of one type records.
struct SearchState {
  PathBuffer archive_name;
  PathBuffer setup_name;
  ResourceSpan setup_span;
  uint32_t error = 0;

  bool Search(HMODULE module, const wchar_t* type) {
    PayloadSearch search(archive_name.text, setup_name.text, setup_span,
                         error);
    return FindPayloadResources(search, module, type);
  }

  void ExpectNothingRecorded() const {
    EXPECT_EQ(0u, error);
    EXPECT_STREQ(L"", archive_name.text);
    EXPECT_STREQ(L"", setup_name.text);
    EXPECT_EQ(0u, setup_span.size);
  }
};

TEST(ResourceDiscoveryTest, RecordsArchiveNameAndSetupSpanWithoutCopying) {
  InstallerImage image(FixturePath(L"layout_bn.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  SearchState state;
  EXPECT_TRUE(state.Search(image.module(), L"BN"));

  EXPECT_EQ(0u, state.error);
  EXPECT_STREQ(L"BRIVEL.7Z", state.archive_name.text);
  EXPECT_STREQ(L"SETUP.EXE", state.setup_name.text);
  const std::string setup = ReadFileBytes(PayloadPath(L"setup.bin"));
  ASSERT_EQ(setup.size(), state.setup_span.size);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(state.setup_span.data),
                          setup.size()) == setup);
  // The span points into the installer's mapped image, not at a copy.
  HRSRC found = FindResourceW(image.module(), L"SETUP.EXE", L"BN");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(LockResource(LoadResource(image.module(), found)),
            static_cast<const void*>(state.setup_span.data));
}

TEST(ResourceDiscoveryTest, MissingTypeRecordsNothing) {
  InstallerImage image(FixturePath(L"layout_bn.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  SearchState state;
  EXPECT_FALSE(state.Search(image.module(), L"B7"));
  state.ExpectNothingRecorded();
}

// The fixtures rely on the order in which the platform delivers names: the
// resource directory keeps string names sorted by code unit (upper case, as
// stored) and then integer identifiers, and EnumResourceNamesW (on Windows
// and on Wine alike) walks it in that order. An integer identifier therefore
// always comes after every string name of its type; no well-formed image
// puts a setup after one.
TEST(ResourceDiscoveryTest, WalkStopsAtZeroByteResourceAndIntegerIdentifier) {
  struct Case {
    const char* name;
    const wchar_t* fixture;
    const wchar_t* type;
    std::vector<std::wstring> seen;
  };
  const Case cases[] = {
      {"string names in order, then the integer identifier ends the walk",
       L"integer_ids.exe", L"BN", {L"BRIVEL.7Z", L"SETUP.EXE"}},
      {"a type holding only an integer identifier", L"integer_ids.exe", L"B7",
       {}},
      {"a zero-byte resource first hides everything after it",
       L"zero_byte.exe", L"BN", {}},
      {"order by code unit: '-' before '.', ASCII before other letters",
       L"walk_order.exe", L"BN",
       {L"BRIVEL-B", L"BRIVEL.7Z", L"OTHER", L"SETUP.EXE", L"\u00C9TAPE"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallerImage image(FixturePath(c.fixture));
    ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
    RecordingVisitor visitor;
    FindPayloadResources(visitor, image.module(), c.type);
    EXPECT_EQ(c.seen, visitor.names);
  }
}

TEST(ResourceDiscoveryTest, EnumerationProcedureEndsWalkWithoutVisiting) {
  InstallerImage image(FixturePath(L"integer_ids.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  RecordingVisitor visitor;
  const LONG_PTR context = reinterpret_cast<LONG_PTR>(
      static_cast<ResourceVisitor*>(&visitor));
  WideChar setup_name[] = L"SETUP.EXE";
  WideChar absent_name[] = L"SETUP.ABSENT";

  // Integer identifier 5 is there, in BN: it is refused by its kind alone.
  EXPECT_FALSE(OnResourceName(image.module(), L"BN", MAKEINTRESOURCEW(5),
                              context));
  EXPECT_FALSE(OnResourceName(image.module(), L"BN", absent_name, context));
  EXPECT_FALSE(OnResourceName(image.module(), L"BN", setup_name, 0));
  EXPECT_TRUE(visitor.names.empty());

  // The same procedure hands an existing named resource on, with its size.
  EXPECT_TRUE(OnResourceName(image.module(), L"BN", setup_name, context));
  ASSERT_EQ(1u, visitor.names.size());
  EXPECT_EQ(L"SETUP.EXE", visitor.names[0]);
  EXPECT_EQ(ReadFileBytes(PayloadPath(L"setup.bin")).size(), visitor.sizes[0]);
}

// A resource that is found but cannot be loaded or locked ends the walk of
// its type as if the type had ended: nothing is recorded and no error is
// set. Neither call fails on a mapped image, so the seams make them fail.
TEST(ResourceDiscoveryTest, UnloadableOrUnlockableResourceEndsWalkSilently) {
  struct Case {
    const char* name;
    bool fail_load;
    bool fail_lock;
  };
  const Case cases[] = {
      {"LoadResource fails", true, false},
      {"LockResource gives no pointer", false, true},
  };
  InstallerImage image(FixturePath(L"layout_bn.exe"));
  ASSERT_NE(nullptr, image.module()) << "error " << image.load_error();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    payload_seams::Seams().fail_load_resource = c.fail_load;
    payload_seams::Seams().fail_lock_resource = c.fail_lock;
    SearchState state;
    state.Search(image.module(), L"BN");
    state.ExpectNothingRecorded();
  }
  payload_seams::Reset();
}

}  // namespace
