# A Korean system: Wine takes code page 949 from the locale.
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT LC_ALL=ko_KR.UTF-8)
