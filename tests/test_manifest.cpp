// The application manifest that Vistrel.exe carries, read back from the built program and
// from its release copy, and what the reading of it refuses.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ManifestChecks.h"
#include "TestFiles.h"
#include "XmlReader.h"

TEST(Manifest, VistrelDeclaresInvokerAndEveryWindowsVersion) {
    for (const wchar_t* exe : {L"Vistrel.exe", L"release\\Vistrel.exe"}) {
        const std::wstring path = TestBinaryDir() + exe;
        ASSERT_TRUE(PathExists(path)) << "missing: " << testing::PrintToString(path);
        EXPECT_TRUE(DeclaresInvokerAndWindowsVersions(ApplicationManifestOf(path))) << testing::PrintToString(path);
    }
}

namespace {

// The program's own manifest with one text replaced (which must be there).
std::string Changed(const std::string& manifest, const std::string& from, const std::string& to) {
    const std::size_t at = manifest.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return manifest;
    return manifest.substr(0, at) + to + manifest.substr(at + from.size());
}

}  // namespace

// Each of these still holds every text the declarations are made of, but Windows would not
// start a program that carries it: the manifest is not well-formed XML.
TEST(Manifest, AManifestThatIsNotWellFormedFailsTheCheck) {
    const std::string good = ApplicationManifestOf(TestBinaryDir() + L"Vistrel.exe");
    ASSERT_TRUE(DeclaresInvokerAndWindowsVersions(good));
    const struct {
        const char* what;
        std::string text;
    } broken[] = {
        {"an end tag missing", Changed(good, "</security>", "")},
        {"end tags crossed", Changed(good, "</requestedPrivileges>\n    </security>", "</security>\n    </requestedPrivileges>")},
        {"an unquoted attribute", Changed(good, "uiAccess=\"false\"", "uiAccess=false")},
        {"an attribute twice", Changed(good, "uiAccess=\"false\"", "uiAccess=\"false\" uiAccess=\"false\"")},
        {"a bare ampersand", Changed(good, "<!-- Windows 7 -->", "<!-- Windows 7 -->R&D")},
        {"\"--\" inside a comment", Changed(good, "<!-- Windows 7 -->", "<!-- Windows -- 7 -->")},
        {"a second root", good + "<assembly/>"},
        {"blanks before the XML declaration", "\r\n" + good},
        {"an undeclared prefix", Changed(good, "<security>", "<ms:security>")},
        {"a tag left open", Changed(good, "<requestedPrivileges>", "<requestedPrivileges")},
        {"a NUL byte", Changed(good, "<security>", std::string("<security>\0", 11))},
    };
    for (const auto& b : broken) {
        const ::testing::AssertionResult r = DeclaresInvokerAndWindowsVersions(b.text);
        EXPECT_FALSE(r) << b.what;
        EXPECT_NE(std::string(r.message()).find("not well-formed XML"), std::string::npos) << b.what << ": " << r.message();
    }
}

// Well-formed, and every text is there, but a declaration is not where Windows reads it.
TEST(Manifest, DeclarationsCountOnlyAtTheirPlace) {
    const std::string good = ApplicationManifestOf(TestBinaryDir() + L"Vistrel.exe");
    ASSERT_TRUE(DeclaresInvokerAndWindowsVersions(good));
    const struct {
        const char* what;
        std::string text;
    } misplaced[] = {
        {"the execution level outside requestedPrivileges",
         Changed(Changed(good, "<requestedPrivileges>", "<requestedPrivileges/>"), "</requestedPrivileges>", "")},
        {"the execution level in another namespace",
         Changed(good, "<requestedExecutionLevel ", "<requestedExecutionLevel xmlns=\"urn:other\" ")},
        {"a commented-out execution level",
         Changed(Changed(good, "<requestedExecutionLevel ", "<!-- <requestedExecutionLevel "),
                 "uiAccess=\"false\"/>", "uiAccess=\"false\"/> -->")},
        {"asInvoker in another attribute", Changed(good, "level=\"asInvoker\"", "level=\"requireAdministrator\" note=\"asInvoker\"")},
        {"the Windows versions outside compatibility",
         Changed(good, "xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"", "xmlns=\"urn:other\"")},
        {"a commented-out Windows 10", Changed(good, "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
                                                "<!-- <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/> -->")},
        {"a version of five parts", Changed(good, "name=\"Vistrel\" version=\"", "name=\"Vistrel\" version=\"9.")},
        {"a DPI awareness", Changed(good, "</assembly>",
                                    "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>"
                                    "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"
                                    "</windowsSettings></application></assembly>")},
    };
    for (const auto& m : misplaced) {
        EXPECT_NO_THROW(xmltest::ParseXml(m.text)) << m.what;
        EXPECT_FALSE(DeclaresInvokerAndWindowsVersions(m.text)) << m.what;
    }
}

TEST(XmlReader, WellFormedDocumentsAndTheirTree) {
    const std::string text =
        "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?>\n<!-- c -->\n<?pi data?>\n"
        "<r xmlns='urn:a' xmlns:b='urn:b' x='1 &lt; 2 &amp;&#65;&#x42;'>\n"
        "  <b:c y=\"&quot;\"><![CDATA[<not & markup>]]>text &gt; more</b:c>\n"
        "  <d/><d></d >\n</r>\n<!-- after -->\n";
    const auto root = xmltest::ParseXml(text);
    EXPECT_EQ(root->LocalName, "r");
    EXPECT_EQ(root->Namespace, "urn:a");
    ASSERT_NE(root->Attribute("x"), nullptr);
    EXPECT_EQ(*root->Attribute("x"), "1 < 2 &AB");
    ASSERT_EQ(root->Children.size(), 3u);
    EXPECT_EQ(root->Children[0]->Namespace, "urn:b");
    EXPECT_EQ(root->Children[0]->LocalName, "c");
    EXPECT_EQ(*root->Children[0]->Attribute("y"), "\"");
    EXPECT_EQ(root->ChildrenNamed("urn:a", "d").size(), 2u);
    EXPECT_EQ(root->Children[2]->Line, 6u);
}

TEST(XmlReader, RefusesWhatIsNotWellFormed) {
    const char* const broken[] = {
        "",
        "<a>",
        "<a></b>",
        "<a><b></a></b>",
        "<a x=1/>",
        "<a x='1' x='2'/>",
        "<a x='<'/>",
        "<a>&nbsp;</a>",
        "<a>&#0;</a>",
        "<a>&#xD800;</a>",
        "<a>]]></a>",
        "<a/><b/>",
        "text<a/>",
        "<a/>text",
        " <?xml version='1.0'?><a/>",
        "<?xml version='1.0' encoding='utf-16'?><a/>",
        "<?xml encoding='utf-8' version='1.0'?><a/>",
        "<!DOCTYPE a><a/>",
        "<a><!-- x -- y --></a>",
        "<a><!-- x ---></a>",
        "<p:a/>",
        "<a p:x='1'/>",
        "<a\x01/>",
        "<a>\xC3</a>",
        "<a>\xC0\xAF</a>",
        "<a x='1'y='2'/>",
        "<1a/>",
    };
    for (const char* b : broken) EXPECT_THROW(xmltest::ParseXml(b), xmltest::XmlError) << testing::PrintToString(std::string(b));
}
