# Self-contained FTP texts: listing parser, reply reader, PASV / PORT / MDTM helpers and listing entries.
add_library(orvane_ftp_text STATIC
  ${CMAKE_CURRENT_LIST_DIR}/listing_parser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_reply.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/time_text.cpp)
target_link_libraries(orvane_ftp_text PUBLIC orvane_output orvane_platform orvane_common)
