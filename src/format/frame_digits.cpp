#include "format/frame_digits.h"

void make_frame_digits(const decoded_frame& frame, frame_digits& digits)
{
    whole_number_digits_into(frame.counter, digits.counter);
    single_digits_into(frame.latitude, digits.values[0]);
    single_digits_into(frame.longitude, digits.values[1]);
    whole_number_digits_into(frame.altitude, digits.values[2]);
    single_digits_into(frame.speed, digits.values[3]);
    whole_number_digits_into(frame.satellites, digits.values[4]);
    whole_number_digits_into(frame.temperature, digits.values[5]);
    single_digits_into(frame.battery_voltage, digits.values[6]);
    single_digits_into(frame.climb_rate, digits.values[7]);
}
