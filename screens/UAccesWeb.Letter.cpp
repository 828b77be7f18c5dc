// The web-access letter drawn here: one A4 page whose coordinates are
// 1/96 inch from the top left, the only unit in which the whole layout
// fits the page.
#include <QBuffer>
#include <QDateTime>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include "Carvelin.Letters.h"
#include "ScreensTr.h"
#include "UAccesWeb.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using Vantrel::Q;

namespace {

const QColor Bleu(0x20, 0x52, 0x7D);
const QColor Vert(0x75, 0xC5, 0xC1);
const QColor Fond(0xDD, 0xEF, 0xEE);
const QColor Magenta(0xA2, 0x10, 0x77);
const QColor Gris(0xB2, 0xB2, 0xB2);

// Ours: the public site of the shared record and its help line.
const QString SitePublic = QStringLiteral("www.dossier-sante.exemple.fr");
const QString NumeroAide = QStringLiteral("09 99 00 00 00");

constexpr int Resolution = 96;

// Draws runs of text, each continuing where the previous ended.
class TLetterPainter {
 public:
  explicit TLetterPainter(QPainter& P) : FP(P) {}

  // Text at (X, Y), the top of its line, in Size points.
  TLetterPainter& At(qreal X, qreal Y) {
    FX = X;
    FY = Y;
    return *this;
  }
  TLetterPainter& Text(const QString& Value, qreal Size, bool Bold, const QColor& Colour) {
    QFont Font(QStringLiteral("Arial"));
    Font.setPointSizeF(Size);
    Font.setBold(Bold);
    FP.setFont(Font);
    FP.setPen(Colour);
    const QFontMetricsF M(Font, FP.device());
    FP.drawText(QPointF(FX, FY + M.ascent()), Value);
    FX += M.horizontalAdvance(Value);
    return *this;
  }
  TLetterPainter& Regular(const QString& Value) { return Text(Value, 8, false, Qt::black); }
  TLetterPainter& BoldBlue(const QString& Value) { return Text(Value, 8, true, Bleu); }
  TLetterPainter& BoldBlack(const QString& Value) { return Text(Value, 8, true, Qt::black); }
  qreal X() const { return FX; }
  qreal Y() const { return FY; }

 private:
  QPainter& FP;
  qreal FX = 0, FY = 0;
};

void Fill(QPainter& P, const QColor& Colour, const QPolygonF& Shape) {
  P.setPen(Qt::NoPen);
  P.setBrush(Colour);
  P.drawPolygon(Shape);
}

// A login or password box: the filled band, its heading, the value centred
// in a white frame, then its note.
void Box(QPainter& P, TLetterPainter& T, qreal Y, qreal Height, const QString& Title, const QString& Subtitle,
         const QString& Value) {
  P.fillRect(QRectF(30, Y, 730, Height), Fond);
  T.At(50, Y + 20).Text(Title, 16, true, Bleu);
  T.At(50, Y + 50).Text(Subtitle, 10, false, Bleu);
  const QRectF Frame(510, Y + 20, 200, 25);
  P.setPen(Qt::black);
  P.setBrush(Qt::white);
  P.drawRect(Frame);
  QFont Font(QStringLiteral("Arial"));
  Font.setPointSizeF(14);
  P.setFont(Font);
  P.drawText(Frame, Qt::AlignCenter | Qt::TextSingleLine, Value);
}

void Step(QPainter& P, TLetterPainter& T, qreal X, qreal Y, const QString& Digit) {
  P.setPen(Qt::NoPen);
  P.setBrush(Vert);
  P.drawEllipse(QRectF(QPointF(X - 6, Y - 2), QPointF(X + 14, Y + 18)));
  T.At(X, Y).BoldBlue(Digit);
  T.At(T.X() + 15, Y);
}

void Draw(QPainter& P, const TAcces& Acces, const QImage& Logo) {
  TLetterPainter T(P);
  P.drawImage(QPointF(30, 30), Logo);
  T.At(220, 40).Text(ScreensTr::tr("Pour accéder à votre"), 16, false, Bleu);
  T.At(220, 70).Text(ScreensTr::tr("Dossier Médical Partagé"), 18, true, Bleu);
  T.At(220, 120).Regular(Q(Acces.name));
  T.At(75, 170).Regular(QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
  T.At(220, 170)
      .Regular(ScreensTr::tr("Vous avez créé, ou demandé la création de votre "))
      .BoldBlue(ScreensTr::tr(" Dossier Médical Partagé (DMP)"))
      .Regular(ScreensTr::tr(" après avoir"));
  T.At(220, 190).Regular(ScreensTr::tr("pris connaissance de son fonctionnement et de vos droits."));
  T.At(220, 230)
      .Regular(ScreensTr::tr("À cette occasion, votre "))
      .BoldBlue(ScreensTr::tr("Numéro de Sécurité Sociale (Numéro d'immatriculation) "))
      .Regular(ScreensTr::tr("indiqué"));
  T.At(220, 250).Regular(ScreensTr::tr("ci-dessous a été utilisé pour procéder à la création de votre DMP."));
  T.At(220, 270).Regular(ScreensTr::tr("Il est utilisé pour la conservation et l'échange de vos données de santé."));
  T.At(220, 280).Regular(
      ScreensTr::tr("Il garantit que les données conservées dans votre dossier sont bien les vôtres."));
  T.At(220, 310).Regular(ScreensTr::tr("Votre ")).BoldBlue(ScreensTr::tr("Numéro de Sécurité Sociale : "));
  T.At(T.X() + 10, 308).Text(Q(Acces.ins), 10, true, Qt::black);
  T.At(220, 350)
      .Regular(ScreensTr::tr("Ce numéro pourra vous être demandé par un professionnel de santé pour accéder à votre "))
      .BoldBlack(ScreensTr::tr(" DMP"));
  T.At(220, 370).Regular(ScreensTr::tr("en l'absence de votre carte Vitale."));

  Fill(P, Vert, QPolygonF({{45, 405}, {60, 420}, {45, 435}}));
  T.At(75, 410).Text(ScreensTr::tr("Vous pouvez désormais activer votre compte internet et accéder ainsi à votre DMP."),
                     10, true, Bleu);
  T.At(75, 430).BoldBlack(ScreensTr::tr("Pour accéder à votre DMP :"));

  Step(P, T, 75, 450, QStringLiteral("1"));
  T.Regular(ScreensTr::tr("Rendez-vous sur le site "))
      .BoldBlue(SitePublic)
      .Regular(ScreensTr::tr(" et "))
      .BoldBlack(ScreensTr::tr("saisissez votre identifiant"))
      .Regular(ScreensTr::tr(" de connexion "))
      .BoldBlack(ScreensTr::tr("et votre mot de passe initial."));
  Step(P, T, 75, 490, QStringLiteral("2"));
  T.Regular(ScreensTr::tr("Lors de votre première connexion, il vous sera demandé de "))
      .BoldBlack(ScreensTr::tr("remplacer ce mot de passe initial"))
      .Regular(ScreensTr::tr(" par un mot de passe"));
  T.At(100, 510).Regular(ScreensTr::tr("de votre choix que vous saisirez lors des connexions suivantes."));
  Step(P, T, 75, 550, QStringLiteral("3"));
  T.BoldBlack(ScreensTr::tr("Vous recevrez automatiquement, à chaque connexion, un mot de passe à usage unique"))
      .Regular(ScreensTr::tr(" par courrier électronique"));
  T.At(100, 570).Regular(ScreensTr::tr("ou SMS que vous devrez saisir."));

  Box(P, T, 610, 100, ScreensTr::tr("Votre identifiant de connexion:"), ScreensTr::tr("(à conserver précieusement)"),
      Q(Acces.login));
  T.At(50, 690).BoldBlack(ScreensTr::tr("Cet identifiant est définitif : il vous sera demandé à chaque connexion à "
                                        "votre DMP sur le site %1.")
                              .arg(SitePublic));

  T.At(30, 730).Regular(ScreensTr::tr("Pour toutes questions, nos conseillers sont à votre disposition au "));
  const qreal X = T.X(), Y = T.Y();
  P.setPen(Gris);
  P.setBrush(Qt::NoBrush);
  P.drawRect(QRectF(QPointF(X, Y - 2), QPointF(X + 195, Y + 20)));
  T.At(X + 2, Y).Text(NumeroAide, 10, true, Magenta);
  Fill(P, Magenta,
       QPolygonF({{X + 100, Y - 2}, {X + 195, Y - 2}, {X + 195, Y + 18}, {X + 100, Y + 18}, {X + 100, Y + 13},
                  {X + 105, Y + 8}, {X + 100, Y + 3}}));
  T.At(X + 110, Y - 2).Text(ScreensTr::tr("Service 0,06 €/min"), 6, false, Qt::white);
  T.At(X + 110, Y + 8).Text(ScreensTr::tr("+ prix appel"), 6, false, Qt::white);
  T.At(30, 750).Regular(ScreensTr::tr("du lundi au vendredi de 8 h 30 à 17 h 30."));

  T.At(30, 790).Regular(ScreensTr::tr("Les données collectées et traitées au titre de votre dossier médical partagé "
                                      "sont sous la responsabilité de la Cnam. Conformément à la loi n° 78-17"));
  T.At(30, 810).Regular(ScreensTr::tr("du 6 janvier 1978 relative à l’informatique, aux fichiers et aux libertés "
                                      "modifiées, vous disposez d’un droit d’accès et de rectification aux données "
                                      "qui vous"));
  T.At(30, 830).Regular(ScreensTr::tr("concernent. Vous pouvez exercer ces droits en vous adressant au directeur de "
                                      "l’organisme de rattachement du titulaire du DMP."));

  Box(P, T, 860, 125, ScreensTr::tr("Votre mot de passe initial"), ScreensTr::tr("(Pour votre 1re connexion)"),
      Q(Acces.pwd));
  T.At(50, 940).BoldBlack(ScreensTr::tr("Ce mot de passe initial vous sera demandé lors de votre première connexion. "
                                        "Vous devrez le remplacer par un mot de passe"));
  T.At(50, 960).BoldBlack(ScreensTr::tr("de votre choix à utiliser lors de vos prochaines connexions."));
}

QString Escaped(const QString& Value) { return Value.toHtmlEscaped(); }

// The document's XMP packet: QPdfWriter has no author of its own.
QByteArray Metadata(const QString& Title) {
  const QString Now = QDateTime::currentDateTime().toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                          .toString(Qt::ISODate);
  return QStringLiteral(
             "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
             "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
             "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
             "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
             "xmlns:xmp='http://ns.adobe.com/xap/1.0/' xmlns:pdf='http://ns.adobe.com/pdf/1.3/'>\n"
             "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>%1</rdf:li></rdf:Alt></dc:title>\n"
             "<dc:creator><rdf:Seq><rdf:li>%2</rdf:li></rdf:Seq></dc:creator>\n"
             "<xmp:CreatorTool>Carvelin</xmp:CreatorTool>\n"
             "<xmp:CreateDate>%3</xmp:CreateDate>\n"
             "<pdf:Producer>Carvelin</pdf:Producer>\n"
             "</rdf:Description>\n</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end='w'?>")
      .arg(Escaped(Title), Escaped(QStringLiteral("Talven Systèmes")), Now)
      .toUtf8();
}

}  // namespace

bool WriteLocalLetter(const std::string& FileName, const TAcces& Acces, const QImage& Logo) {
  QByteArray Bytes;
  {
    QBuffer Buffer(&Bytes);
    Buffer.open(QIODevice::WriteOnly);
    QPdfWriter Writer(&Buffer);
    Writer.setPageSize(QPageSize(QPageSize::A4));
    Writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    Writer.setResolution(Resolution);
    Writer.setCreator(QStringLiteral("Carvelin"));
    Writer.setTitle(ScreensTr::tr("Accès Internet à votre DMP"));
    Writer.setDocumentXmpMetadata(Metadata(Writer.title()));
    QPainter P(&Writer);
    if (!P.isActive()) return false;
    Draw(P, Acces, Logo);
  }
  const bool Saved = SaveLetter(FileName, std::string_view(Bytes.constData(), size_t(Bytes.size())));
  Bytes.fill('\0');
  return Saved;
}

}  // namespace Carvelin
