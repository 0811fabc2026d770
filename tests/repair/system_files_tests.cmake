# System-file repair and hijack cleanup. Downloads go over real HTTP to a
# loopback server that a CTest fixture starts over <build>/testdata/www.
set(cf_sysfiles_state ${CMAKE_BINARY_DIR}/testdata)
add_test(NAME sysfiles_http_start
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/http_server.sh start ${cf_sysfiles_state})
set_tests_properties(sysfiles_http_start PROPERTIES FIXTURES_SETUP sysfiles_http)
add_test(NAME sysfiles_http_stop
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/http_server.sh stop ${cf_sysfiles_state})
set_tests_properties(sysfiles_http_stop PROPERTIES FIXTURES_CLEANUP sysfiles_http)

cf_add_gtest(test_system_files system_files_test.cpp hijack_test.cpp sysfiles_fuzz_test.cpp
    LIBS cf_repair urlmon FIXTURES sysfiles_http)
add_dependencies(test_system_files digestdb holdfile startmark versionprobe)
cf_add_gtest_run(test_system_files fresh "Fuzz.*" ENVIRONMENT CF_FUZZ_SEED=fresh)  # as in commands/

# The hijack scan's age rule on files planted now, with the clock of the test
# process (not the files' times) moved 30 days ahead. The x86_64 build runs
# it: under libfaketime's 32-bit build, 32-bit Wine processes never end
# (their timed waits mix the shifted and the real clock).
if(CF_ARCH STREQUAL "x86_64")
    find_program(CF_FAKETIME faketime)
    if(CF_FAKETIME)
        add_test(NAME test_system_files@aged
            COMMAND env NO_FAKE_STAT=1 ${CF_FAKETIME} -f +30d ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
                --build ${CMAKE_BINARY_DIR} --arch x86_64 $<TARGET_FILE:test_system_files>
                --gtest_filter=HijackScanAged.* "--gtest_output=xml:Z:\\gtest-xml\\test_system_files@aged.xml")
    else()
        add_test(NAME test_system_files@aged COMMAND sh -c "echo 'faketime is not installed' >&2; exit 1")
    endif()
    cf__gtest_entry(test_system_files@aged FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]|\\[  FAILED  \\]")
endif()
