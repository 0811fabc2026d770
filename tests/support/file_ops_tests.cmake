# The file-primitive tests, with MD5 reference files whose digests come from
# coreutils md5sum on the build machine (read by the test through ..\testdata\md5\).
set(cf_md5_data ${CMAKE_BINARY_DIR}/testdata/md5)
add_custom_command(OUTPUT ${cf_md5_data}/digests.txt
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/make_md5_data.py ${cf_md5_data}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_md5_data.py
    COMMENT "MD5 reference files")
add_custom_target(md5_test_data DEPENDS ${cf_md5_data}/digests.txt)
# A file that opens but refuses every write (disk full).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/testdata/full)
file(CREATE_LINK /dev/full ${CMAKE_BINARY_DIR}/testdata/full/x.dat SYMBOLIC)
# A file that opens but fails its first read (address 0 of a process).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/testdata/unreadable)
file(CREATE_LINK /proc/self/mem ${CMAKE_BINARY_DIR}/testdata/unreadable/mem.bin SYMBOLIC)
cf_add_gtest(test_file_ops file_ops_test.cpp file_ops_md5_test.cpp LIBS cf_support)
add_dependencies(test_file_ops md5_test_data holdfile)
