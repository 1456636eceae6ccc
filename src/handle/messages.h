// Every message the library stores in a handle's error text, UTF-8.
#pragma once

namespace kinetra {

inline constexpr const char *msg_x_limit = "X轴超出限位";      // X axis beyond its limit
inline constexpr const char *msg_y_limit = "Y轴超出限位";      // Y axis beyond its limit
inline constexpr const char *msg_z_limit = "Z轴超出限位";      // Z axis beyond its limit
inline constexpr const char *msg_send_failed = "串口发送失败"; // serial send failed
inline constexpr const char *msg_no_upload = "未找到上传帧";   // no upload frame found
inline constexpr const char *msg_crc_failed = "CRC校验失败";   // CRC check failed
inline constexpr const char *msg_short_payload = "载荷不足";   // payload too short

} // namespace kinetra
