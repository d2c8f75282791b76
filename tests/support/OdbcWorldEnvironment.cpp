#include "OdbcSources.h"

#include <gtest/gtest.h>

namespace
{

// The data sources of a test program: made before its first test, taken down after its last.
class OdbcWorldEnvironment : public ::testing::Environment
{
  public:
    void SetUp() override { setOdbcWorld(m_world = new OdbcTestWorld); }
    void TearDown() override
    {
        setOdbcWorld(nullptr);
        delete m_world;
    }

  private:
    OdbcTestWorld *m_world = nullptr;
};

} // namespace

bool useOdbcWorld()
{
    static ::testing::Environment *const environment =
        ::testing::AddGlobalTestEnvironment(new OdbcWorldEnvironment);
    return environment != nullptr;
}

#if defined(__SANITIZE_ADDRESS__)
// The drivers keep a few allocations of their own ini reading for the life of the process, made
// through a copy of the installer library that has no frame pointers: full unwinding is needed to
// see that they come from the driver.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libsqlite3odbc\nleak:psqlodbcw\n";
}
#endif
