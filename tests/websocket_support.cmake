# The WebSocket side of the scripted peer computes Sec-WebSocket-Accept (SHA-1, base64) with
# OpenSSL's libcrypto.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
target_link_libraries(strandel_test_support PUBLIC OpenSSL::Crypto)
