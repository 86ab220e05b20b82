# What ctest runs in a Windows build folder in place of fiskal_tests.exe.
message(FATAL_ERROR
  "ctest does not run the Windows unit tests: under Wine, COM1 and the like "
  "lead to the machine's own serial devices. Run scripts/windows, which runs "
  "fiskal_tests.exe under Wine in a sandbox without serial devices.")
