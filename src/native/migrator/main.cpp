#include "Migrator.h"

// The Windows entry; its arguments are not used.
int wWinMain(void* /*instance*/, void* /*previousInstance*/, wchar_t* /*commandLine*/, int /*showCommand*/)
{
    return runMigrator();
}

int main() { return wWinMain(nullptr, nullptr, nullptr, 0); }
