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
    LIBS cf_repair FIXTURES sysfiles_http)
add_dependencies(test_system_files digestdb holdfile startmark versionprobe)
