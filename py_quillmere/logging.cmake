# The JSON-lines logger. Included by py_quillmere/CMakeLists.txt.
# quillmere_pylog: the interpreter-free part (record line, failure line, file sink, logger),
# tested in C++ by pylog_tests. The module adds QUILLMERE_LOG_WRITER_SOURCES to its sources
# and links quillmere_pylog.
add_library(quillmere_pylog STATIC ${CMAKE_CURRENT_LIST_DIR}/src/log_format.cpp)
target_include_directories(quillmere_pylog PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(quillmere_pylog PUBLIC quillmere_foundation PRIVATE nlohmann_json::nlohmann_json)

set(QUILLMERE_LOG_WRITER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/log_writer.cpp)

quillmere_gtest(pylog_tests ${CMAKE_CURRENT_LIST_DIR}/tests_cpp/log_format_test.cpp)
target_link_libraries(pylog_tests PRIVATE quillmere_pylog nlohmann_json::nlohmann_json)
