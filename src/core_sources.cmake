# The core library's sources (standard C++ only), relative to src/. The fuzz build compiles the
# same list with its own flags, so both read it from here.
set(TAVIK_CORE_SOURCES
  profile/file_util.cpp
  profile/ini_file.cpp
  profile/settings.cpp
  profile/user_registry.cpp
  profile/certificate_pins.cpp
  store/mailbox_store.cpp
  store/folder_tree.cpp
  store/mailbox_list_model.cpp
  addressbook/address_book.cpp
  addressbook/csv_fields.cpp
  pop3/mime_decoders.cpp
  pop3/message_parser.cpp
  pop3/attachment_store.cpp
  pop3/check_mail_rules.cpp
  smtp/mime_encoders.cpp
  smtp/message_writer.cpp
  smtp/rc4.cpp
  smtp/stored_copy.cpp
  smtp/compose_rules.cpp
  view/mime_manager.cpp
  view/text_viewer_rules.cpp
  view/print_layout.cpp
  view/browser_command.cpp
  view/answer_rules.cpp
)
