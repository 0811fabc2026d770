# File-inspection tests, with md5crypt references from OpenSSL and CRC-32
# references from Python's zlib, made at build time (read through
# ..\testdata\inspection\).
set(cf_inspection_data ${CMAKE_BINARY_DIR}/testdata/inspection)
add_custom_command(OUTPUT ${cf_inspection_data}/md5crypt.txt ${cf_inspection_data}/crc32.txt
    ${cf_inspection_data}/crc32.bin
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/make_examine_data.py ${cf_inspection_data}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_examine_data.py
    COMMENT "md5crypt and CRC-32 reference data")
add_custom_target(inspection_test_data DEPENDS ${cf_inspection_data}/md5crypt.txt)
cf_add_gtest(test_inspection examine_test.cpp LIBS cf_support iphlpapi wininet)
add_dependencies(test_inspection inspection_test_data holdfile)
