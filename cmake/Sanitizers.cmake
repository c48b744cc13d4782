# -DVELOMIX_SANITIZE=address,undefined or =thread applies to every target of the native build.
if(VELOMIX_SANITIZE)
  add_compile_options(-fsanitize=${VELOMIX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELOMIX_SANITIZE})
endif()
