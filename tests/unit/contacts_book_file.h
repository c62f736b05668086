// Address books as people keep them, for the tests and the benchmark: names of two words, half the hosts
// dotted addresses and half names in a domain, the usual ports and some others, and optionally a field
// the program does not know (a phone number) in every contact. Always the same book for the same count.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "addressbook/Contacts.h"

struct BookFile {
    std::vector<Contact> contacts;
    std::string text;  // in the layout the program writes, the phone after the port
};

inline BookFile MakeBookFile(int count, bool withPhone) {
    static const char* const kFirst[] = {
        "Anna",   "Bernd", "Carla", "Dieter", "Eva",  "Frank", "Greta", "Hans",   "Ines",      "Jonas",
        "Katrin", "Lukas", "Maria", "Niklas", "Olga", "Paul",  "Rosa",  "Stefan", "Alexander", "Friederike"};
    static const char* const kLast[] = {"Meier",  "Schmidt", "Mueller",  "Fischer",         "Weber",
                                        "Wagner", "Becker",  "Hoffmann", "Schwarzenberger", "Zimmermann"};
    static const char* const kSites[] = {"office", "lab", "home", "branch-north"};
    std::mt19937 random(7);
    const auto pick = [&random](int size) {
        return static_cast<size_t>(random() % static_cast<unsigned>(size));
    };
    BookFile book;
    book.text = "<contacts>\r\n";
    for (int i = 0; i < count; ++i) {
        Contact contact;
        contact.name = std::string(kFirst[pick(20)]) + " " + kLast[pick(10)];
        if (random() % 2 == 0) {
            contact.host = std::to_string(1 + pick(223)) + "." + std::to_string(pick(256)) + "." +
                           std::to_string(pick(256)) + "." + std::to_string(1 + pick(254));
        } else {
            contact.host = "pc-" + std::to_string(pick(100000)) + "." + kSites[pick(4)] + ".example.com";
        }
        contact.port = std::to_string(random() % 3 == 0 ? 1024 + pick(64512) : 5007);
        book.text += "\t<contact>\r\n\t\t<name>" + contact.name + "</name>\r\n\t\t<host>" + contact.host +
                     "</host>\r\n\t\t<port>" + contact.port + "</port>\r\n";
        if (withPhone)
            book.text += "\t\t<phone>+49 30 " + std::to_string(1000000 + pick(9000000)) + "</phone>\r\n";
        book.text += "\t</contact>\r\n";
        book.contacts.push_back(std::move(contact));
    }
    book.text += "</contacts>\r\n";
    return book;
}
